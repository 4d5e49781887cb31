#include "UserDatabase.h"

#include <cstdio>

#include "BmpCodec.h"

namespace zorva {

namespace {

// A file that is not a database fails at the first statement, the journal mode.
const char* const kSchema = R"sql(
PRAGMA journal_mode = WAL;
PRAGMA synchronous = FULL;
CREATE TABLE IF NOT EXISTS ZorvaUsers (
  UserId TEXT NOT NULL,
  Password TEXT NOT NULL DEFAULT '',
  FirstName TEXT NOT NULL DEFAULT '',
  LastName TEXT NOT NULL DEFAULT '',
  City TEXT NOT NULL DEFAULT '',
  Country TEXT NOT NULL DEFAULT '',
  EMail TEXT NOT NULL DEFAULT '',
  HomePage TEXT NOT NULL DEFAULT '',
  Additional TEXT NOT NULL DEFAULT '',
  InfoTokens TEXT NOT NULL DEFAULT '',
  Glyph BLOB,
  Creation TEXT,
  LastLogin TEXT,
  LoginCount INTEGER NOT NULL DEFAULT 0
);
CREATE UNIQUE INDEX IF NOT EXISTS USERIDIDX ON ZorvaUsers (UserId);
CREATE TABLE IF NOT EXISTS Feedback (
  ID TEXT NOT NULL,
  SUBJECTCD TEXT NOT NULL,
  DATE TEXT NOT NULL,
  FEEDBACK TEXT NOT NULL
);
)sql";

#define ZORVA_USER_COLUMNS                                                              \
  "UserId, Password, FirstName, LastName, City, Country, EMail, HomePage, Additional, " \
  "InfoTokens, Glyph, Creation, LastLogin, LoginCount"
#define ZORVA_USER_VALUES "?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14"

const char* const kUpsertUser =
    "INSERT INTO ZorvaUsers (" ZORVA_USER_COLUMNS ") VALUES (" ZORVA_USER_VALUES
    ") ON CONFLICT (UserId) DO UPDATE SET "
    "Password = CASE WHEN excluded.Password = '' THEN Password "
    "ELSE excluded.Password END, "
    "FirstName = excluded.FirstName, LastName = excluded.LastName, "
    "City = excluded.City, Country = excluded.Country, "
    "EMail = excluded.EMail, HomePage = excluded.HomePage, "
    "Additional = excluded.Additional, "
    "InfoTokens = excluded.InfoTokens, Glyph = excluded.Glyph, "
    "Creation = excluded.Creation, LastLogin = excluded.LastLogin, "
    "LoginCount = excluded.LoginCount";

const char* const kInsertUser = "INSERT INTO ZorvaUsers (" ZORVA_USER_COLUMNS
                                ") VALUES (" ZORVA_USER_VALUES ") ON CONFLICT (UserId) DO NOTHING";

#undef ZORVA_USER_COLUMNS
#undef ZORVA_USER_VALUES

const char* const kSelectUser =
    "SELECT FirstName, LastName, City, Country, EMail, HomePage, Additional, InfoTokens, Glyph, "
    "Creation, LastLogin, LoginCount FROM ZorvaUsers WHERE UserId = ?1";

std::string IsoDate(TDateTime date) {
  int year = 0;
  int month = 0;
  int day = 0;
  DecodeDate(date, year, month, day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

// NULL or empty reads as day 0, like a record that was never dated.
TDateTime ParseIsoDate(const std::string& text, const std::string& id) {
  if (text.empty()) return 0;
  int year = 0;
  int month = 0;
  int day = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d", &year, &month, &day) != 3 || month < 1 ||
      month > 12 || day < 1 || day > 31) {
    throw EDatabaseError("User database: row " + id +
                         " has a date that is not yyyy-mm-dd: " + text);
  }
  return EncodeDate(year, month, day);
}

std::string JoinLines(const TZorvaUser::TStringList& lines) {
  std::string joined;
  for (const auto& line : lines) {
    if (!joined.empty()) joined += '\n';
    joined += line;
  }
  return joined;
}

TZorvaUser::TStringList SplitLines(std::string text) {
  TZorvaUser::TStringList lines;
  while (!text.empty()) lines.push_back(getToken(text, "\n"));
  return lines;
}

}  // namespace

TUserDatabase::TUserDatabase(const std::string& path)
    : FConnection(path, kSchema),
      FSelectExists(FConnection, "SELECT 1 FROM ZorvaUsers WHERE UserId = ?1"),
      FCountUsers(FConnection, "SELECT COUNT(*) FROM ZorvaUsers"),
      FSelectPassword(FConnection, "SELECT Password FROM ZorvaUsers WHERE UserId = ?1"),
      FSelectUser(FConnection, kSelectUser),
      FUpsertUser(FConnection, kUpsertUser),
      FInsertUser(FConnection, kInsertUser),
      FInsertFeedback(FConnection,
                      "INSERT INTO Feedback (ID, SUBJECTCD, DATE, FEEDBACK) "
                      "VALUES (?1, ?2, ?3, ?4)") {}

bool TUserDatabase::UserExists(const std::string& id) {
  auto run = FSelectExists.Run();
  run.Bind(1, id);
  return run.Step();
}

std::int64_t TUserDatabase::UserCount() {
  auto run = FCountUsers.Run();
  return run.Step() ? run.Int(0) : 0;
}

std::optional<std::string> TUserDatabase::StoredPassword(const std::string& id) {
  auto run = FSelectPassword.Run();
  run.Bind(1, id);
  if (!run.Step()) return std::nullopt;
  return run.Text(0);
}

bool TUserDatabase::LoadUser(TZorvaUser& user) {
  auto run = FSelectUser.Run();
  run.Bind(1, user.Id());
  if (!run.Step()) return false;
  // Decode what can fail before touching the record.
  const Bitmap glyph = DecodeBmp(run.Blob(8));
  const TDateTime creation = ParseIsoDate(run.Text(9), user.Id());
  const TDateTime lastLogin = ParseIsoDate(run.Text(10), user.Id());
  user.SetPassword({});
  user.SetFirstName(run.Text(0));
  user.SetLastName(run.Text(1));
  user.SetCity(run.Text(2));
  user.SetCountry(run.Text(3));
  user.SetEMail(run.Text(4));
  user.SetHomePage(run.Text(5));
  user.SetAdditionalInfo(run.Text(6));
  user.SetInfoTokens(SplitLines(run.Text(7)));
  user.SetGlyph(glyph);
  user.SetCreationDate(creation);
  user.SetLastLoginDate(lastLogin);
  user.SetLoginCount(static_cast<std::int32_t>(run.Int(11)));
  return true;
}

void TUserDatabase::SaveUser(const TZorvaUser& user, const std::string& password) {
  WriteUser(FUpsertUser, user, password);
}

bool TUserDatabase::AddUser(const TZorvaUser& user, const std::string& password) {
  WriteUser(FInsertUser, user, password);
  return FConnection.Changes() > 0;
}

void TUserDatabase::WriteUser(TSqliteStatement& statement, const TZorvaUser& user,
                              const std::string& password) {
  auto run = statement.Run();
  run.Bind(1, user.Id());
  run.Bind(2, password);
  run.Bind(3, user.FirstName());
  run.Bind(4, user.LastName());
  run.Bind(5, user.City());
  run.Bind(6, user.Country());
  run.Bind(7, user.EMail());
  run.Bind(8, user.HomePage());
  run.Bind(9, user.AdditionalInfo());
  run.Bind(10, JoinLines(user.InfoTokens()));
  run.BindBlob(11, EncodeBmp(user.Glyph()));
  run.Bind(12, IsoDate(user.CreationDate()));
  run.Bind(13, IsoDate(user.LastLoginDate()));
  run.Bind(14, std::int64_t{user.LoginCount()});
  run.Step();
}

void TUserDatabase::AppendFeedback(const std::string& id, const std::string& subjectCode,
                                   TDateTime date, const std::string& text) {
  auto run = FInsertFeedback.Run();
  run.Bind(1, id);
  run.Bind(2, subjectCode);
  run.Bind(3, IsoDate(date));
  run.Bind(4, text);
  run.Step();
}

void TUserDatabase::InWriteTransaction(const std::function<void()>& work) {
  // IMMEDIATE takes the write lock now, so two workers updating one row wait for each other
  // instead of failing at commit.
  FConnection.Execute("BEGIN IMMEDIATE");
  try {
    work();
    FConnection.Execute("COMMIT");
  } catch (...) {
    FConnection.Rollback();
    throw;
  }
}

}  // namespace zorva
