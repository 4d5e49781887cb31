// Random chunks into the line framer: lines never hold a line feed, never exceed the limit,
// and the bytes handed out plus those still buffered are exactly the bytes fed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "LineFramer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kLimit = 64;
  zorva::LineFramer framer(kLimit);
  std::size_t handedOut = 0;
  std::size_t fed = 0;
  auto onLine = [&](std::string_view line) {
    if (line.size() > kLimit || line.find('\n') != std::string_view::npos) std::abort();
    handedOut += line.size() + 1;
    return line.size() % 7 != 3;  // pause now and then
  };
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (!rest.empty()) {
    // The first byte of each step sets the chunk length, so the fuzzer controls the splits.
    const std::size_t len =
        std::min<std::size_t>(rest.size(), 1 + static_cast<unsigned char>(rest.front()) % 16);
    const auto chunk = rest.substr(0, len);
    rest.remove_prefix(len);
    fed += len;
    auto status = framer.Feed(chunk, onLine);
    while (status == zorva::LineFramer::Status::Paused) status = framer.Drain(onLine);
    if (status == zorva::LineFramer::Status::TooLong) return 0;
    if (handedOut + framer.Buffered() != fed) std::abort();
  }
  return 0;
}
