// TZorvaServerStatsDialog: shows the server's statistics in their form with one call and, while
// the form is open, can ask the server for fresh figures at a fixed interval through a
// TZorvaConnection. Client programs keep one and call Execute (under a QApplication).
//
//   TZorvaServerStatsDialog dialog;
//   dialog.SetZorvaConnection(&conn);
//   dialog.SetAutoUpdate(true);
//   dialog.SetUpdateInterval(2000);
//   dialog.Execute(conn.ServerStats());  // modal; the figures refresh every two seconds
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ZorvaConnection.h"

class QTimer;

namespace zorva {

class TZorvaServerStatsDialog {
 public:
  TZorvaServerStatsDialog();
  ~TZorvaServerStatsDialog();
  TZorvaServerStatsDialog(const TZorvaServerStatsDialog&) = delete;
  TZorvaServerStatsDialog& operator=(const TZorvaServerStatsDialog&) = delete;

  bool AutoUpdate() const { return FAutoUpdate; }
  void SetAutoUpdate(bool value) { FAutoUpdate = value; }
  // Not owned. A connection that has been destroyed reads as none.
  TZorvaConnection* ZorvaConnection() const;
  void SetZorvaConnection(TZorvaConnection* value);
  const std::string& Title() const { return FTitle; }
  void SetCaption(std::string value) { FTitle = std::move(value); }
  // Milliseconds between requests while the form is open; 0 (or less) sends none.
  std::int32_t UpdateInterval() const { return FUpdateInterval; }
  void SetUpdateInterval(std::int32_t value) { FUpdateInterval = value; }

  // Shows the statistics form modally, first filled from `stats`; nothing without a connection.
  // With AutoUpdate the dialog takes over the connection's OnServerStatus while the form is
  // open (the program's handler is not called then) and puts the very same handler back after.
  void Execute(const TZorvaServerStats& stats);

  // Asks the assigned connection for statistics.
  void MyOnTimer();
  // Shows the received figures in the open form.
  void MyOnServerStat(TZorvaConnection& sender, const TZorvaServerStats& serverStats);

  // Puts the class on the component palette.
  static void Register();

 private:
  void BeginAutoUpdate(TZorvaConnection& connection);
  void EndAutoUpdate(TZorvaConnection* connection);

  std::string FTitle = "Server Statistics";
  TZorvaConnection* FZorvaConnection = nullptr;
  std::weak_ptr<const void> FConnectionLifetime;
  TStatusEvent FSavedOnServerStatus;  // the program's handler, during Execute with AutoUpdate
  bool FAutoUpdate = false;
  std::int32_t FUpdateInterval = 0;
  std::unique_ptr<QTimer> FTimer;
};

}  // namespace zorva
