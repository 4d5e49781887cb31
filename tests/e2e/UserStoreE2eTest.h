// The fixture of the user-store end-to-end tests: a server program started with --users and a
// database file in the scratch folder, which the tests read as another program would. The
// tests are in UserStoreE2eTests.cpp; each server program's test file instantiates them.
#pragma once

#include <gmock/gmock.h>

#include <cstdio>

#include "E2eSupport.h"
#include "PasswordHash.h"
#include "SqliteStatement.h"
#include "SystemClock.h"
#include "UserDatabase.h"
#include "ZorvaUser.h"

namespace zorva::test {

using namespace std::chrono_literals;

inline std::string IsoToday() {
  int year = 0;
  int month = 0;
  int day = 0;
  DecodeDate(SystemClock().Today(), year, month, day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

inline std::string NewUserText(const std::string& id, const std::string& password) {
  TZorvaUser user;
  user.SetId(id);
  user.SetPassword(password);
  user.SetCity("Oslo");
  return user.toString();
}

class UserStoreE2eTest : public ServerE2eTest {
 protected:
  std::string UsersPath() const { return (FFolder / "users.db").string(); }

  void StartWithStore() { StartServer({"--users", UsersPath()}); }

  // Stores users with one real hash of `password`, before the server starts: logins then pay
  // for a real password check without the test paying for one hash per user.
  void SeedUsers(const std::vector<std::string>& ids, const std::string& password) const {
    TUserDatabase database(UsersPath());
    const std::string hash = HashPassword(password, TPasswordCost::Default());
    for (const auto& id : ids) {
      TZorvaUser user;
      user.SetId(id);
      database.SaveUser(user, hash);
    }
  }

  // One column of the first row the query gives, read as another program would while the
  // server runs; "<no row>" when there is none.
  std::string Query(const std::string& sql) const {
    TSqliteConnection raw(UsersPath(), "");
    TSqliteStatement statement(raw, sql.c_str());
    auto run = statement.Run();
    return run.Step() ? run.Text(0) : "<no row>";
  }

  std::string UserRow(const std::string& id) const {
    return Query(
        "SELECT Password || '|' || City || '|' || Creation || '|' || LastLogin || '|' || "
        "LoginCount FROM ZorvaUsers WHERE UserId = '" +
        id + "'");
  }

  // Sends a line and returns the first answer.
  static std::string Ask(LineClient& client, const std::string& line) {
    client.WriteLine(line);
    return client.ReadLine(10s).value_or("<timeout>");
  }

  // "SERVERSTATS" is answered after every line sent before it has been handled.
  static void Sync(LineClient& client) {
    EXPECT_THAT(Ask(client, "SERVERSTATS|"), testing::StartsWith("SERVERSTATS|"));
  }

  // Registers `id` and reads the three lines of its login.
  void Register(LineClient& client, const std::string& id, const std::string& password) {
    ASSERT_TRUE(client.Connect(FPort));
    const auto answer = Ask(client, "LOGINNEW|" + id + "|GAME|" + NewUserText(id, password));
    ASSERT_THAT(answer, testing::StartsWith("LOGIN|SUCCESS|" + id + "^")) << answer;
    ASSERT_TRUE(client.ReadLine().has_value());  // SUBJECTS|
    ASSERT_TRUE(client.ReadLine().has_value());  // JOINSUBJECT|
  }
};

}  // namespace zorva::test
