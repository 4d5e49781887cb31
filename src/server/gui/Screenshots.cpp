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

// As the window opened: no click, no expanding.
void ShowUsersPage(TfrmServer& window) {
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
  // Each page gets a turn of layout before it is grabbed.
  const auto next = [&window](auto then) { QTimer::singleShot(300, &window, then); };
  QTimer::singleShot(afterMs, &window, [&window, &core, dir, next] {
    ShowUsersPage(window);
    next([&window, &core, dir, next] {
      Save(window, dir, "users.png");
      window.pages->setCurrentWidget(window.tabIncoming);
      next([&window, &core, dir, next] {
        Save(window, dir, "trace.png");
        window.pages->setCurrentWidget(window.tabActivity);
        next([&window, &core, dir] {
          Save(window, dir, "activity.png");
          SaveUserInfo(core, dir);
          window.close();
        });
      });
    });
  });
}

}  // namespace zorva
