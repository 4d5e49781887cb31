// StdinReader hands zorva-chat the lines of its standard input from the Qt event loop, whether
// the input is a terminal, a pipe or a file, and says when it has ended.
#pragma once

#include <QSocketNotifier>
#include <functional>
#include <string>

namespace zorva {

class StdinReader {
 public:
  using TLineHandler = std::function<void(std::string line)>;
  using TEndHandler = std::function<void()>;

  // A carriage return before a line feed is dropped; an unfinished last line still counts.
  StdinReader(TLineHandler onLine, TEndHandler onEnd);
  // No further lines are handed out (after /quit).
  void Stop() { FNotifier.setEnabled(false); }

 private:
  void ReadAvailable();
  void HandOut(std::string line);

  QSocketNotifier FNotifier;
  TLineHandler FOnLine;
  TEndHandler FOnEnd;
  std::string FPartial;
};

}  // namespace zorva
