#include "support/sqlite_database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <string>

#include "support/temp_dir.h"

namespace quill {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class SQLiteDatabaseTest : public ::testing::Test {
protected:
  void SetUp() override {
    db_ = std::make_unique<TSQLiteDatabase>(temp_ / "test.db");
    db_->Query("CREATE TABLE numbers (n INTEGER, word TEXT)");
    db_->Query("INSERT INTO numbers VALUES (1, 'one'), (2, NULL), (NULL, 'drei')");
    db_->Query("CREATE TABLE lower_case (x)");
    db_->Query("CREATE TABLE Z_6ASSETS (x)");
  }
  // The message of the exception that f throws, or "" when none is thrown.
  template <typename F>
  static std::string MessageOf(F f) {
    try {
      f();
    } catch (const ESQLiteException& e) {
      return e.what();
    }
    return {};
  }

  testing::TTempDir temp_;
  std::unique_ptr<TSQLiteDatabase> db_;
};

TEST_F(SQLiteDatabaseTest, EmptyResultIsAtEofWithNoRows) {
  const auto table = db_->Query("SELECT n FROM numbers WHERE n > 5");
  EXPECT_TRUE(table->Eof());
  EXPECT_EQ(table->RowCount(), 0);
}

TEST_F(SQLiteDatabaseTest, RowsAreWalkedForwardAndCounted) {
  const auto table = db_->Query("SELECT n, word FROM numbers ORDER BY rowid");
  EXPECT_EQ(table->RowCount(), 1);
  EXPECT_EQ(table->FieldAsInteger(0), 1);
  EXPECT_EQ(table->FieldAsString(1), "one");
  EXPECT_TRUE(table->Next());
  EXPECT_EQ(table->FieldAsString(1), "");  // NULL text
  EXPECT_TRUE(table->Next());
  EXPECT_EQ(table->FieldAsInteger(0), 0);  // NULL integer
  EXPECT_EQ(table->FieldAsString(1), "drei");
  EXPECT_FALSE(table->Next());
  EXPECT_TRUE(table->Eof());
  EXPECT_EQ(table->RowCount(), 3);
}

TEST_F(SQLiteDatabaseTest, IntegersAreSixtyFourBitAndTextIsUtf8) {
  db_->Query("INSERT INTO numbers VALUES (8589934597, 'Fotos \xC3\xA9t\xC3\xA9 \xE2\x9C\x93')");
  const auto table = db_->Query("SELECT n, word FROM numbers WHERE n > 100");
  EXPECT_EQ(table->FieldAsInteger(0), 8589934597);
  EXPECT_EQ(table->FieldAsString(1), "Fotos \xC3\xA9t\xC3\xA9 \xE2\x9C\x93");
}

TEST_F(SQLiteDatabaseTest, TableExistsComparesNamesInLowerCase) {
  EXPECT_TRUE(db_->TableExists("LOWER_case"));
  EXPECT_TRUE(db_->TableExists("z_6assets"));
  EXPECT_TRUE(db_->TableExists("Z_6ASSETS"));
  EXPECT_FALSE(db_->TableExists("Z_8ASSETS"));
}

TEST_F(SQLiteDatabaseTest, MissingTableNamesTheSqlAndTheCode) {
  const std::string sql = "SELECT Z_PK FROM ZGENERICALBUM";
  const std::string message = MessageOf([&] { db_->Query(sql); });
  EXPECT_THAT(message, StartsWith("Error executing SQL.\r\nError [1]: SQL error or missing "
                                  "database.\r\n\"SELECT Z_PK FROM ZGENERICALBUM\": "));
  EXPECT_THAT(message, HasSubstr("no such table: ZGENERICALBUM"));
}

TEST_F(SQLiteDatabaseTest, EmptySqlCannotBePrepared) {
  EXPECT_EQ(MessageOf([&] { db_->Query(""); }), "Could not prepare SQL statement");
  EXPECT_THAT(MessageOf([&] { db_->Query("  -- nothing"); }),
              StartsWith("Could not prepare SQL statement"));
}

TEST_F(SQLiteDatabaseTest, FailedStepIsReportedAndTheTableStaysUsable) {
  db_->Query("CREATE TABLE once (k INTEGER PRIMARY KEY)");
  db_->Query("INSERT INTO once VALUES (1)");
  const std::string message = MessageOf([&] { db_->Query("INSERT INTO once VALUES (1)"); });
  EXPECT_THAT(message, StartsWith("Could not retrieve data.\r\nError [19]: Abort due to contraint "
                                  "violation.\r\n\"INSERT INTO once VALUES (1)\": "));
  // The connection is still sound after the failed statement was finalized.
  EXPECT_EQ(db_->Query("SELECT count(*) FROM once")->FieldAsInteger(0), 1);
}

TEST(SQLiteLayerTest, FileThatIsNotADatabaseFailsAtTheFirstQuery) {
  testing::TTempDir temp;
  {
    std::ofstream out(temp / "junk.db", std::ios::binary);
    out << std::string(4096, 'x');
  }
  TSQLiteDatabase db(temp / "junk.db");
  std::string message;
  try {
    db.Query("SELECT 1 FROM sqlite_master");
  } catch (const ESQLiteException& e) {
    message = e.what();
  }
  EXPECT_THAT(message, HasSubstr("Error [26]: File opened that is not a database file.\r\n"));
}

TEST(SQLiteLayerTest, UnopenableFileNamesTheFileAndTheReason) {
  testing::TTempDir temp;
  const std::string name = temp / "no/such/folder/x.db";
  std::string message;
  try {
    TSQLiteDatabase db(name);
  } catch (const ESQLiteException& e) {
    message = e.what();
  }
  EXPECT_EQ(message, "Failed to open database \"" + name + "\" : unable to open database file");
}

TEST(SQLiteLayerTest, TheLibraryIsInitialisedForTheRunAndShutDownAfter) {
  {
    TSQLiteLibrary library;
    // SQLite refuses to be configured while it is initialised.
    EXPECT_EQ(sqlite3_config(SQLITE_CONFIG_LOG, nullptr, nullptr), SQLITE_MISUSE);
    testing::TTempDir temp;
    TSQLiteDatabase db(temp / "run.db");
    EXPECT_EQ(db.Query("SELECT 7")->FieldAsInteger(0), 7);
  }
  EXPECT_EQ(sqlite3_config(SQLITE_CONFIG_LOG, nullptr, nullptr), SQLITE_OK) << "shut down";
}

TEST(SQLiteLayerTest, ErrorTextsCoverKnownAndUnknownCodes) {
  EXPECT_EQ(SQLiteErrorText(0), "Successful result");
  EXPECT_EQ(SQLiteErrorText(26), "File opened that is not a database file");
  EXPECT_EQ(SQLiteErrorText(101), "sqlite3_step() has finished executing");
  EXPECT_EQ(SQLiteErrorText(27), "Unknown SQLite Error Code \"27\"");
  EXPECT_EQ(SQLiteErrorText(-1), "Unknown SQLite Error Code \"-1\"");
}

}  // namespace
}  // namespace quill
