#include "ConsoleImages.h"

#include <array>

// A static library's resources are registered by hand, outside any namespace.
static void RegisterConsoleIcons() {
  Q_INIT_RESOURCE(console_icons);
}

namespace zorva {

namespace {

constexpr std::array<const char*, kConsoleImageCount> kImageFiles = {
    "00-start",          "01-stop",
    "02-folders",        "03-settings",
    "04-subject",        "05-subject-selected",
    "06-subject-code",   "07-subject-code-selected",
    "08-guest",          "09-statistics",
    "10-shut-down",      "11-re-open",
    "12-shout",          "13-new-subject",
    "14-delete-subject", "15-kill-user",
    "16-user-info",
};

QString ResourcePath(const char* name) {
  static const bool registered = (RegisterConsoleIcons(), true);
  (void)registered;
  return QStringLiteral(":/console/icons/%1.png").arg(QLatin1String(name));
}

}  // namespace

std::vector<QIcon> ConsoleImages() {
  std::vector<QIcon> images;
  images.reserve(kImageFiles.size());
  for (const char* name : kImageFiles) images.emplace_back(ResourcePath(name));
  return images;
}

QIcon ConsoleImage(TConsoleImage index) {
  return QIcon(ResourcePath(kImageFiles.at(static_cast<std::size_t>(index))));
}

QPixmap AlarmPixmap() {
  return QPixmap(ResourcePath("alarm"));
}

}  // namespace zorva
