#include "support/sqlite_database.h"

#include <sqlite3.h>

#include "support/text.h"

namespace quill {

// A failed initialisation is not reported here: the first open then fails
// and says why.
TSQLiteLibrary::TSQLiteLibrary() { sqlite3_initialize(); }

TSQLiteLibrary::~TSQLiteLibrary() { sqlite3_shutdown(); }

std::string SQLiteErrorText(int code) {
  switch (code) {
    case 0:
      return "Successful result";
    case 1:
      return "SQL error or missing database";
    case 2:
      return "An internal logic error in SQLite";
    case 3:
      return "Access permission denied";
    case 4:
      return "Callback routine requested an abort";
    case 5:
      return "The database file is locked";
    case 6:
      return "A table in the database is locked";
    case 7:
      return "A malloc() failed";
    case 8:
      return "Attempt to write a readonly database";
    case 9:
      return "Operation terminated by sqlite3_interrupt()";
    case 10:
      return "Some kind of disk I/O error occurred";
    case 11:
      return "The database disk image is malformed";
    case 12:
      return "(Internal Only) Table or record not found";
    case 13:
      return "Insertion failed because database is full";
    case 14:
      return "Unable to open the database file";
    case 15:
      return "Database lock protocol error";
    case 16:
      return "Database is empty";
    case 17:
      return "The database schema changed";
    case 18:
      return "Too much data for one row of a table";
    case 19:
      return "Abort due to contraint violation";
    case 20:
      return "Data type mismatch";
    case 21:
      return "Library used incorrectly";
    case 22:
      return "Uses OS features not supported on host";
    case 23:
      return "Authorization denied";
    case 24:
      return "Auxiliary database format error";
    case 25:
      return "2nd parameter to sqlite3_bind out of range";
    case 26:
      return "File opened that is not a database file";
    case 100:
      return "sqlite3_step() has another row ready";
    case 101:
      return "sqlite3_step() has finished executing";
    default:
      return "Unknown SQLite Error Code \"" + std::to_string(code) + "\"";
  }
}

TSQLiteDatabase::TSQLiteDatabase(const std::string& fileName) {
  sqlite3* handle = nullptr;
  if (sqlite3_open(fileName.c_str(), &handle) == SQLITE_OK) {
    handle_ = handle;
    return;
  }
  std::string error = "Unknown error";
  if (handle) {
    if (const char* text = sqlite3_errmsg(handle)) error = text;
    sqlite3_close(handle);
  }
  throw ESQLiteException("Failed to open database \"" + fileName + "\" : " + error);
}

TSQLiteDatabase::~TSQLiteDatabase() {
  if (handle_) sqlite3_close(handle_);
}

std::unique_ptr<TSQLiteTable> TSQLiteDatabase::Query(const std::string& sql) {
  return std::make_unique<TSQLiteTable>(*this, sql);
}

bool TSQLiteDatabase::TableExists(const std::string& name) {
  const auto table =
      Query("select [sql] from sqlite_master where [type] = 'table' and lower(name) = '" +
            ToLowerAscii(name) + "' ");
  return table->RowCount() > 0;
}

void TSQLiteDatabase::RaiseError(const std::string& prefix, const std::string& sql) {
  const int code = handle_ ? sqlite3_errcode(handle_) : 0;
  const char* text = handle_ ? sqlite3_errmsg(handle_) : nullptr;
  if (code != 0 && text) {
    throw ESQLiteException(prefix + ".\r\nError [" + std::to_string(code) +
                           "]: " + SQLiteErrorText(code) + ".\r\n\"" + sql + "\": " + text);
  }
  throw ESQLiteException(prefix);
}

TSQLiteTable::TSQLiteTable(TSQLiteDatabase& database, std::string sql)
    : database_(database), sql_(std::move(sql)) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(database_.Handle(), sql_.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    database_.RaiseError("Error executing SQL", sql_);
  }
  if (!statement) database_.RaiseError("Could not prepare SQL statement", sql_);
  statement_ = statement;
  try {
    Next();
  } catch (...) {
    // The constructor does not complete, so the destructor will not run.
    sqlite3_finalize(statement_);
    statement_ = nullptr;
    throw;
  }
}

TSQLiteTable::~TSQLiteTable() {
  if (statement_) sqlite3_finalize(statement_);
}

bool TSQLiteTable::Next() {
  eof_ = true;
  const int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) {
    eof_ = false;
    ++row_count_;
  } else if (result != SQLITE_DONE) {
    sqlite3_reset(statement_);
    database_.RaiseError("Could not retrieve data", sql_);
  }
  return !eof_;
}

std::int64_t TSQLiteTable::FieldAsInteger(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string TSQLiteTable::FieldAsString(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  if (!text) return {};
  const int bytes = sqlite3_column_bytes(statement_, column);
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(bytes));
}

}  // namespace quill
