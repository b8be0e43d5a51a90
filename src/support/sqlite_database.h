#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace quill {

// Every failure of the SQLite layer: the message names the SQL, SQLite's result
// code with its description and SQLite's own text.
class ESQLiteException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The fixed English description of an SQLite result code.
std::string SQLiteErrorText(int code);

// The SQLite library for one run of a program: initialised when made (at the
// start of main, before any window), shut down when it goes, after every
// connection was closed. One per process.
class TSQLiteLibrary {
public:
  TSQLiteLibrary();
  ~TSQLiteLibrary();
  TSQLiteLibrary(const TSQLiteLibrary&) = delete;
  TSQLiteLibrary& operator=(const TSQLiteLibrary&) = delete;
};

class TSQLiteTable;

// One open database connection; closed when the object goes. Used by one
// thread at a time; every TSQLiteTable of it must be freed first.
class TSQLiteDatabase {
public:
  // Opens (or, as SQLite's default open does, creates) the file; throws
  // ESQLiteException when it cannot.
  explicit TSQLiteDatabase(const std::string& fileName);
  ~TSQLiteDatabase();
  TSQLiteDatabase(const TSQLiteDatabase&) = delete;
  TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

  // Prepares the first statement of sql and steps onto its first row.
  std::unique_ptr<TSQLiteTable> Query(const std::string& sql);
  // Whether a table of that name exists, names compared in lower case.
  bool TableExists(const std::string& name);
  [[noreturn]] void RaiseError(const std::string& prefix, const std::string& sql);
  sqlite3* Handle() const { return handle_; }

private:
  sqlite3* handle_ = nullptr;
};

// A prepared statement walked forward one row at a time. Owned by the caller
// of Query and freed before its database.
class TSQLiteTable {
public:
  // Prepares sql and steps once; throws ESQLiteException.
  TSQLiteTable(TSQLiteDatabase& database, std::string sql);
  ~TSQLiteTable();
  TSQLiteTable(const TSQLiteTable&) = delete;
  TSQLiteTable& operator=(const TSQLiteTable&) = delete;

  // Steps to the next row; true when there is one.
  bool Next();
  bool Eof() const { return eof_; }
  std::int32_t RowCount() const { return row_count_; }
  // Columns of the current row by 0-based position; NULL reads as 0 or "".
  std::int64_t FieldAsInteger(int column) const;
  std::string FieldAsString(int column) const;

private:
  sqlite3_stmt* statement_ = nullptr;
  TSQLiteDatabase& database_;
  std::string sql_;
  bool eof_ = false;
  std::int32_t row_count_ = 0;
};

}  // namespace quill
