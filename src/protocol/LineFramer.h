// LineFramer cuts one connection's received byte stream into lines. Both the server and the
// client component use it.
//
// Contract:
//  * A line feed ends a line; the line is handed out without it and nothing else is removed
//    (a carriage return before the line feed stays in the line). An empty line is a line.
//  * A partial line waits in the framer until its line feed arrives.
//  * A line longer than the limit (line feed not counted), or unfinished text past the limit,
//    makes Feed/Drain return TooLong; the framer holds nothing afterwards and must not be fed
//    again. The buffer therefore never grows past the limit plus one chunk.
//  * The handler returns true to go on, false to pause: the unhandled text stays buffered, in
//    order, until Drain is called. While paused, Append buffers new text without handing out
//    lines; it fails with TooLong past four times the line limit.
//  * Bytes are scanned for a line feed once: a long line arriving byte by byte costs linear time.
//  * Lines are handed out as views, valid until the handler returns; with nothing buffered they
//    point into the chunk itself, without a copy. The handler must not feed or clear the framer.
//
//   LineFramer framer(65536);
//   framer.Feed(chunk, [&](std::string_view line) { Handle(line); return true; });
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zorva {

class LineFramer {
 public:
  enum class Status { Ok, Paused, TooLong };
  static constexpr std::size_t kDefaultMaxLine = 65536;

  explicit LineFramer(std::size_t maxLine = kDefaultMaxLine) : FMaxLine(maxLine) {}

  template <class Handler>
  Status Feed(std::string_view chunk, Handler&& onLine);
  // Hands out the buffered complete lines (after a pause).
  template <class Handler>
  Status Drain(Handler&& onLine);
  // Buffers text while paused.
  Status Append(std::string_view chunk);

  // Bytes held: unfinished text, and complete lines held back by a pause.
  std::size_t Buffered() const { return FBuffer.size() - FStart; }
  void Clear();

 private:
  template <class Handler>
  Status FeedDirect(std::string_view chunk, Handler& onLine);
  Status Keep(std::string_view rest);
  Status Fail();
  void Compact();

  std::size_t FMaxLine;
  std::string FBuffer;
  std::size_t FStart = 0;    // first unhandled byte of FBuffer
  std::size_t FScanned = 0;  // bytes of FBuffer known to hold no line feed, from FStart on
};

template <class Handler>
LineFramer::Status LineFramer::Feed(std::string_view chunk, Handler&& onLine) {
  if (Buffered() == 0) {
    Clear();
    return FeedDirect(chunk, onLine);
  }
  FBuffer.append(chunk);
  return Drain(onLine);
}

template <class Handler>
LineFramer::Status LineFramer::FeedDirect(std::string_view chunk, Handler& onLine) {
  while (!chunk.empty()) {
    const auto lf = chunk.find('\n');
    if (lf == std::string_view::npos) return Keep(chunk);
    if (lf > FMaxLine) return Fail();
    const auto line = chunk.substr(0, lf);
    chunk.remove_prefix(lf + 1);
    if (!onLine(line)) {
      if (chunk.empty()) return Status::Paused;
      return Keep(chunk) == Status::TooLong ? Status::TooLong : Status::Paused;
    }
  }
  return Status::Ok;
}

template <class Handler>
LineFramer::Status LineFramer::Drain(Handler&& onLine) {
  while (Buffered() > 0) {
    const auto from = FStart + FScanned;
    const auto lf = FBuffer.find('\n', from);
    if (lf == std::string::npos) {
      FScanned = FBuffer.size() - FStart;
      if (FScanned > FMaxLine) return Fail();
      Compact();
      return Status::Ok;
    }
    if (lf - FStart > FMaxLine) return Fail();
    const std::string_view line(FBuffer.data() + FStart, lf - FStart);
    FStart = lf + 1;
    FScanned = 0;
    if (!onLine(line)) {
      Compact();
      return Status::Paused;
    }
  }
  Clear();
  return Status::Ok;
}

}  // namespace zorva
