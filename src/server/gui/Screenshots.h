// Pictures of the running window for the README (scripts/screenshot drives this through the
// hidden --screenshot option): the "Users" page with the tree open, the "Activity" page and the
// user info form of the first logged-in guest, and the settings dialog. The window closes when
// they are written.
#pragma once

#include <QString>

namespace zorva {

class ServerCore;
class TfrmServer;

void ScheduleScreenshots(TfrmServer& window, const ServerCore& core, const QString& dir,
                         int afterMs);

}  // namespace zorva
