#include "StdinReader.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace zorva {

StdinReader::StdinReader(TLineHandler onLine, TEndHandler onEnd)
    : FNotifier(STDIN_FILENO, QSocketNotifier::Read),
      FOnLine(std::move(onLine)),
      FOnEnd(std::move(onEnd)) {
  QObject::connect(&FNotifier, &QSocketNotifier::activated, [this] { ReadAvailable(); });
}

void StdinReader::ReadAvailable() {
  std::array<char, 4096> chunk;
  const auto count = ::read(STDIN_FILENO, chunk.data(), chunk.size());
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (count <= 0) {
    Stop();
    if (!FPartial.empty()) HandOut(std::exchange(FPartial, {}));
    FOnEnd();
    return;
  }
  FPartial.append(chunk.data(), static_cast<std::size_t>(count));
  std::size_t start = 0;
  for (auto lf = FPartial.find('\n'); lf != std::string::npos; lf = FPartial.find('\n', start)) {
    HandOut(FPartial.substr(start, lf - start));
    start = lf + 1;
    // A handler that stopped the reader (/quit) wants no more lines.
    if (!FNotifier.isEnabled()) return;
  }
  FPartial.erase(0, start);
}

void StdinReader::HandOut(std::string line) {
  if (line.ends_with('\r')) line.pop_back();
  FOnLine(std::move(line));
}

}  // namespace zorva
