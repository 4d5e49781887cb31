#include "Screenshots.h"

#include <QDir>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

#include "ServerCore.h"
#include "ServerForm.h"
#include "UserInfoForm.h"

namespace zorva {

namespace {

void Save(QWidget& widget, const QString& dir, const char* name) {
  const QString path = QDir(dir).filePath(QString::fromLatin1(name));
  if (!widget.grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

void ShowUsersPage(TfrmServer& window) {
  window.treeSubjects->expandAll();
  window.treeSubjects->setCurrentItem(window.treeSubjects->topLevelItem(0));
  window.pages->setCurrentWidget(window.tabUsers);
}

void SaveUserInfo(const ServerCore& core, const QString& dir) {
  for (const TZorvaGuest* guest : core.Guests()) {
    if (!guest->User()) continue;
    TZorvaUser user = *guest->User();
    TfrmUserInfo form;
    form.Populate(user, nullptr);
    form.SetEditable(false);
    form.SetAllowEdits(true);
    form.show();
    Save(form, dir, "user-info.png");
    return;
  }
}

}  // namespace

void ScheduleScreenshots(TfrmServer& window, const ServerCore& core, const QString& dir,
                         int afterMs) {
  QDir().mkpath(dir);
  QTimer::singleShot(afterMs, &window, [&window, &core, dir] {
    ShowUsersPage(window);
    // Give the layout a turn before grabbing.
    QTimer::singleShot(300, &window, [&window, &core, dir] {
      Save(window, dir, "users.png");
      window.pages->setCurrentWidget(window.tabActivity);
      QTimer::singleShot(300, &window, [&window, &core, dir] {
        Save(window, dir, "activity.png");
        SaveUserInfo(core, dir);
        window.close();
      });
    });
  });
}

}  // namespace zorva
