// Any text into the user and statistics text forms: no crash, no allocation beyond what the
// text holds, and whatever parses writes back to a text that reads back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ZorvaServerStats.h"
#include "ZorvaUser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  zorva::TZorvaUser user;
  try {
    user.fromString(text);
    zorva::TZorvaUser again;
    again.fromString(user.toString());
    if (again.toString() != user.toString()) std::abort();
  } catch (const zorva::EConvertError&) {
  }
  zorva::TZorvaServerStats stats;
  try {
    stats.fromString(text);
    // Byte totals are written with 15 significant digits, so compare the texts, not the values.
    zorva::TZorvaServerStats again;
    again.fromString(stats.toString());
    if (again.toString() != stats.toString()) std::abort();
  } catch (const zorva::EConvertError&) {
  }
  return 0;
}
