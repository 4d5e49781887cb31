#include "TerminalText.h"

#include "WireUtf8.h"

namespace zorva {

std::string TerminalText(std::string_view bytes) {
  return Utf8OrLatin1(bytes);
}

}  // namespace zorva
