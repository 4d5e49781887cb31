// A thin RAII layer over the SQLite C interface for the user database: one connection per
// thread, statements prepared once and reused, every failure an EDatabaseError whose message
// names the database file and says what went wrong.
//
//   TSqliteConnection db("/var/lib/zorva/users.db");
//   TSqliteStatement select(db, "SELECT LoginCount FROM ZorvaUsers WHERE UserId = ?1");
//   auto run = select.Run();
//   run.Bind(1, "ann");
//   if (run.Step()) count = run.Int(0);
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace zorva {

// What the store reports when the database is missing, locked, corrupt or not a database; the
// daemon prints the message as it stands.
class EDatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TSqliteConnection {
 public:
  // Opens the file, creating it when missing, and runs `setup` (SQL without results). A missing
  // folder, an unreadable file or a file that is not a database throws.
  TSqliteConnection(const std::string& path, const char* setup);
  ~TSqliteConnection();
  TSqliteConnection(const TSqliteConnection&) = delete;
  TSqliteConnection& operator=(const TSqliteConnection&) = delete;

  // Runs SQL that returns no rows (several statements allowed).
  void Execute(const char* sql);
  // Ends an open transaction without its changes; does nothing when none is open.
  void Rollback() noexcept;
  // Rows changed by the last insert or update.
  int Changes() const;
  sqlite3* Handle() const { return FHandle; }
  // Throws EDatabaseError with the connection's last error message.
  [[noreturn]] void Fail() const;

 private:
  std::string FPath;
  sqlite3* FHandle = nullptr;
};

class TSqliteStatement {
 public:
  // One use of the statement: bindings and results live until the run ends, and the end resets
  // the statement, so that no run keeps a read snapshot open past its operation.
  class TRun {
   public:
    explicit TRun(TSqliteStatement& statement) : FStatement(statement) {}
    ~TRun();
    TRun(const TRun&) = delete;
    TRun& operator=(const TRun&) = delete;

    void Bind(int index, std::string_view text);
    void BindBlob(int index, std::string_view bytes);
    void Bind(int index, std::int64_t value);
    // True when a row is ready; false when the statement is done.
    bool Step();
    std::string Text(int column) const;
    std::string_view Blob(int column) const;
    std::int64_t Int(int column) const;

   private:
    TSqliteStatement& FStatement;
  };

  // Preparing checks the SQL against the schema, so a table with other columns fails here.
  TSqliteStatement(TSqliteConnection& connection, const char* sql);
  ~TSqliteStatement();
  TSqliteStatement(const TSqliteStatement&) = delete;
  TSqliteStatement& operator=(const TSqliteStatement&) = delete;

  [[nodiscard]] TRun Run() { return TRun(*this); }

 private:
  TSqliteConnection& FConnection;
  sqlite3_stmt* FHandle = nullptr;
};

}  // namespace zorva
