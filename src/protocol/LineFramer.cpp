#include "LineFramer.h"

namespace zorva {

LineFramer::Status LineFramer::Keep(std::string_view rest) {
  FBuffer.append(rest);
  const auto lf = rest.find('\n');
  FScanned = lf == std::string_view::npos ? rest.size() : 0;
  if (FScanned > FMaxLine) return Fail();
  return Status::Ok;
}

LineFramer::Status LineFramer::Append(std::string_view chunk) {
  FBuffer.append(chunk);
  return Buffered() > 4 * FMaxLine ? Fail() : Status::Ok;
}

LineFramer::Status LineFramer::Fail() {
  std::string().swap(FBuffer);
  FStart = FScanned = 0;
  return Status::TooLong;
}

void LineFramer::Clear() {
  // An idle connection keeps no buffer memory beyond a small string.
  if (FBuffer.capacity() > 4096) {
    std::string().swap(FBuffer);
  } else {
    FBuffer.clear();
  }
  FStart = FScanned = 0;
}

void LineFramer::Compact() {
  if (FStart == 0) return;
  FBuffer.erase(0, FStart);
  FStart = 0;
}

}  // namespace zorva
