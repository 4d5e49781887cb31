// The operator window's pictures: the 17 shared by its actions, menus, tool bar and subject tree
// (`images`), and the status bar's alarm (`imAlarm`).
//
//   action->setIcon(ConsoleImage(TConsoleImage::Start));
//   node->setIcon(0, ConsoleImages()[6]);  // a subject code
#pragma once

#include <QIcon>
#include <QPixmap>
#include <vector>

namespace zorva {

// Indexes into ConsoleImages(), the numbers the window's tables use.
enum class TConsoleImage : int {
  Start = 0,
  Stop = 1,
  TreeRoot = 2,
  Settings = 3,
  Subject = 4,
  SubjectSelected = 5,
  SubjectCode = 6,
  SubjectCodeSelected = 7,
  Guest = 8,
  Statistics = 9,
  ShutDown = 10,
  ReOpen = 11,
  Shout = 12,
  NewSubject = 13,
  DeleteSubject = 14,
  KillUser = 15,
  UserInfo = 16,
};

inline constexpr int kConsoleImageCount = 17;

// The 17 pictures of 16 × 16 in index order.
std::vector<QIcon> ConsoleImages();
QIcon ConsoleImage(TConsoleImage index);
// The 15 × 15 alarm picture.
QPixmap AlarmPixmap();

}  // namespace zorva
