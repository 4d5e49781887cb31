#include "UserDatabase.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "BmpCodec.h"
#include "TempDatabase.h"

namespace zorva {
namespace {

TZorvaUser FullUser(const std::string& id) {
  TZorvaUser user;
  user.SetId(id);
  user.SetPassword("ignored by the database");
  user.SetFirstName("Ann");
  user.SetLastName("Lee");
  user.SetCity("Oslo");
  user.SetCountry("Norway");
  user.SetEMail("ann@example.org");
  user.SetHomePage("http://example.org/ann");
  // Longer than the form's 200 characters: kept whole.
  user.SetAdditionalInfo(std::string(300, 'x') + "|^`");
  user.SetInfoTokens({"Level=3", "Clan=", "Rank=Captain"});
  Bitmap glyph(3, 2);
  glyph.SetPixel(2, 1, 0xABCDEF);
  user.SetGlyph(glyph);
  user.SetCreationDate(EncodeDate(2023, 2, 28));
  user.SetLastLoginDate(EncodeDate(2024, 12, 31));
  user.SetLoginCount(41);
  return user;
}

class UserDatabaseTest : public testing::Test {
 protected:
  // A second connection that reads the file as another tool would.
  std::string Query(const std::string& sql) {
    TSqliteConnection raw(FTemp.Path(), "");
    TSqliteStatement statement(raw, sql.c_str());
    auto run = statement.Run();
    return run.Step() ? run.Text(0) : "<no row>";
  }

  TempDatabase FTemp;
};

TEST_F(UserDatabaseTest, RecordRoundTripLeavesThePasswordEmpty) {
  TUserDatabase database(FTemp.Path());
  database.SaveUser(FullUser("ann"), "hash");
  TZorvaUser loaded;
  loaded.SetId("ann");
  ASSERT_TRUE(database.LoadUser(loaded));
  TZorvaUser expected = FullUser("ann");
  expected.SetPassword("");
  EXPECT_EQ(loaded, expected);
}

TEST_F(UserDatabaseTest, ColumnsAreReadableByOtherTools) {
  {
    TUserDatabase database(FTemp.Path());
    database.SaveUser(FullUser("ann"), "hash");
  }
  EXPECT_EQ(Query("SELECT group_concat(name, ',') FROM pragma_table_info('ZorvaUsers')"),
            "UserId,Password,FirstName,LastName,City,Country,EMail,HomePage,Additional,"
            "InfoTokens,Glyph,Creation,LastLogin,LoginCount");
  EXPECT_EQ(Query("SELECT group_concat(name, ',') FROM pragma_table_info('Feedback')"),
            "ID,SUBJECTCD,DATE,FEEDBACK");
  EXPECT_EQ(Query("SELECT name FROM pragma_index_list('ZorvaUsers')"), "USERIDIDX");
  EXPECT_EQ(Query("SELECT Creation || ' ' || LastLogin FROM ZorvaUsers"), "2023-02-28 2024-12-31");
  EXPECT_EQ(Query("SELECT typeof(LoginCount) || ' ' || LoginCount FROM ZorvaUsers"), "integer 41");
  EXPECT_EQ(Query("SELECT InfoTokens FROM ZorvaUsers"), "Level=3\nClan=\nRank=Captain");
  EXPECT_EQ(Query("SELECT substr(Glyph, 1, 2) FROM ZorvaUsers"), "BM");
  EXPECT_EQ(Query("SELECT length(Additional) FROM ZorvaUsers"), "303");
  EXPECT_EQ(Query("PRAGMA journal_mode"), "wal");
}

TEST_F(UserDatabaseTest, EmptyGlyphIsStoredAsNull) {
  TUserDatabase database(FTemp.Path());
  TZorvaUser user;
  user.SetId("plain");
  database.SaveUser(user, "");
  EXPECT_EQ(Query("SELECT typeof(Glyph) FROM ZorvaUsers"), "null");
  ASSERT_TRUE(database.LoadUser(user));
  EXPECT_TRUE(user.Glyph().Empty());
  EXPECT_TRUE(user.InfoTokens().empty());
}

TEST_F(UserDatabaseTest, IdsAreExactAndUnique) {
  TUserDatabase database(FTemp.Path());
  database.SaveUser(FullUser("ann"), "");
  database.SaveUser(FullUser("ann"), "");
  EXPECT_EQ(Query("SELECT count(*) FROM ZorvaUsers"), "1");
  EXPECT_TRUE(database.UserExists("ann"));
  EXPECT_FALSE(database.UserExists("Ann"));
  EXPECT_FALSE(database.UserExists("ann "));
  EXPECT_FALSE(database.UserExists(""));
}

TEST_F(UserDatabaseTest, FeedbackRowsKeepTheTextWhole) {
  TUserDatabase database(FTemp.Path());
  database.AppendFeedback("ann", "CHESS", EncodeDate(2024, 3, 1), "great|game|");
  database.AppendFeedback("ann", "CHESS", EncodeDate(2024, 3, 2), "");
  EXPECT_EQ(Query("SELECT count(*) FROM Feedback"), "2");
  EXPECT_EQ(Query("SELECT ID || ' ' || SUBJECTCD || ' ' || DATE || ' ' || FEEDBACK FROM Feedback "
                  "ORDER BY rowid LIMIT 1"),
            "ann CHESS 2024-03-01 great|game|");
}

TEST_F(UserDatabaseTest, EverythingSurvivesReopening) {
  {
    TUserDatabase database(FTemp.Path());
    database.SaveUser(FullUser("ann"), "hash");
    database.AppendFeedback("ann", "CHESS", EncodeDate(2024, 3, 1), "kept");
  }
  TUserDatabase reopened(FTemp.Path());
  TZorvaUser loaded;
  loaded.SetId("ann");
  ASSERT_TRUE(reopened.LoadUser(loaded));
  EXPECT_EQ(loaded.LoginCount(), 41);
  EXPECT_EQ(reopened.StoredPassword("ann"), "hash");
  EXPECT_EQ(Query("SELECT FEEDBACK FROM Feedback"), "kept");
}

TEST_F(UserDatabaseTest, FailedTransactionLeavesNothing) {
  TUserDatabase database(FTemp.Path());
  EXPECT_THROW(database.InWriteTransaction([&] {
    database.SaveUser(FullUser("ann"), "");
    throw std::runtime_error("stop");
  }),
               std::runtime_error);
  EXPECT_FALSE(database.UserExists("ann"));
  // The connection is usable afterwards: no transaction was left open.
  database.InWriteTransaction([&] { database.SaveUser(FullUser("bob"), ""); });
  EXPECT_TRUE(database.UserExists("bob"));
}

TEST_F(UserDatabaseTest, BadStoredValuesFailTheLoadNotTheProcess) {
  TUserDatabase database(FTemp.Path());
  database.SaveUser(FullUser("ann"), "");
  database.SaveUser(FullUser("bob"), "");
  {
    TSqliteConnection raw(FTemp.Path(),
                          "UPDATE ZorvaUsers SET Creation = 'yesterday' "
                          "WHERE UserId = 'ann';"
                          "UPDATE ZorvaUsers SET Glyph = x'424D00' "
                          "WHERE UserId = 'bob'");
  }
  TZorvaUser ann;
  ann.SetId("ann");
  EXPECT_THROW(database.LoadUser(ann), EDatabaseError);
  EXPECT_EQ(ann.City(), "");  // untouched
  TZorvaUser bob;
  bob.SetId("bob");
  EXPECT_THROW(database.LoadUser(bob), EBmpError);
}

// Opening a bad path fails at once with a message that names the file and the reason.
struct OpenCase {
  const char* Label;
  const char* Content;  // written to the file first; nullptr: the folder does not exist
  const char* Reason;
};

class UserDatabaseOpenTest : public testing::TestWithParam<OpenCase> {};

TEST_P(UserDatabaseOpenTest, ThrowsAClearError) {
  TempDatabase temp;
  std::string path = temp.Path();
  if (GetParam().Content) {
    std::ofstream(path, std::ios::binary) << GetParam().Content;
  } else {
    path = (temp.Folder() / "missing" / "users.db").string();
  }
  try {
    TUserDatabase database(path);
    FAIL() << "opened " << path;
  } catch (const EDatabaseError& error) {
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find(GetParam().Reason), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UserDatabaseOpenTest,
    testing::Values(OpenCase{"MissingFolder", nullptr, "unable to open"},
                    OpenCase{"NotADatabase", "this is a text file, not a database\n",
                             "not a database"},
                    OpenCase{"TruncatedHeader", "SQLite format 3", "not a database"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(UserDatabaseSchemaTest, ATableOfAnotherShapeIsRefusedAtOpen) {
  TempDatabase temp;
  { TSqliteConnection raw(temp.Path(), "CREATE TABLE ZorvaUsers (UserId TEXT, Pwd TEXT)"); }
  EXPECT_THROW(TUserDatabase database(temp.Path()), EDatabaseError);
}

TEST(UserDatabaseLockTest, ALockedDatabaseFailsTheWriteClearly) {
  TempDatabase temp;
  TUserDatabase database(temp.Path());
  TSqliteConnection other(temp.Path(),
                          "BEGIN EXCLUSIVE; INSERT INTO Feedback VALUES ('','','','')");
  try {
    database.AppendFeedback("ann", "CHESS", EncodeDate(2024, 3, 1), "waits, then gives up");
    FAIL() << "wrote through an exclusive lock";
  } catch (const EDatabaseError& error) {
    EXPECT_NE(std::string(error.what()).find("locked"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace zorva
