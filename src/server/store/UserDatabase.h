// TUserDatabase: the users table `ZorvaUsers` and the feedback table `Feedback` in one SQLite
// file, on one connection (one per thread). The user store's hooks and its login workers call
// it; it knows nothing of password hashing (it keeps whatever text it is given for a password).
//
// On disk: dates as ISO text "yyyy-mm-dd", the login count as an integer, the info tokens one
// per line, the glyph as a BMP picture (NULL when empty). Texts are kept whole, however long.
// Every write is committed (WAL journal, synchronous) before the call returns.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "SqliteStatement.h"
#include "ZorvaUser.h"
#include "ZorvaUtils.h"

namespace zorva {

class TUserDatabase {
 public:
  // Opens the file and creates the tables and the index on first use. Throws EDatabaseError
  // for a missing folder, a file that is not a database or tables of another shape.
  explicit TUserDatabase(const std::string& path);

  bool UserExists(const std::string& id);
  // How many users are registered (the daemon says so at start).
  std::int64_t UserCount();
  // The row's Password column (empty for a user without a password); nothing without a row.
  std::optional<std::string> StoredPassword(const std::string& id);
  // Fills every field from the row of user.Id() except the password, which is left empty;
  // false (and the record untouched) when there is no such row.
  bool LoadUser(TZorvaUser& user);
  // Writes every column of the row of user.Id(), appending the row when there is none. The
  // record's own password is ignored: `password` is stored, except that an empty one keeps the
  // stored text.
  void SaveUser(const TZorvaUser& user, const std::string& password);
  // Appends the row as SaveUser does; false, and nothing written, when the id is taken.
  bool AddUser(const TZorvaUser& user, const std::string& password);
  void AppendFeedback(const std::string& id, const std::string& subjectCode, TDateTime date,
                      const std::string& text);
  // Runs `work` in one write transaction: when this returns, all of it is on disk; when
  // `work` throws, none of it is, and the exception goes on.
  void InWriteTransaction(const std::function<void()>& work);

 private:
  void WriteUser(TSqliteStatement& statement, const TZorvaUser& user, const std::string& password);

  TSqliteConnection FConnection;
  TSqliteStatement FSelectExists;
  TSqliteStatement FCountUsers;
  TSqliteStatement FSelectPassword;
  TSqliteStatement FSelectUser;
  TSqliteStatement FUpsertUser;
  TSqliteStatement FInsertUser;
  TSqliteStatement FInsertFeedback;
};

}  // namespace zorva
