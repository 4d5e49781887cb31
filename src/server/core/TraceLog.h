// TTraceLog: the two trace switches and the log file of the message flow. ServerCore calls it
// at its two trace points (each received line after the incoming filter, each sent line before
// the outgoing filter); the window flips the switches and opens or closes the file. Every trace
// text is built here, so that the panes, the file and the daemon's output all show the
// password of "LOGIN", "LOGINNEW" and "USERUPDATE" as "***".
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "LogFile.h"
#include "ServerInterfaces.h"

namespace zorva {

// `line` with the password field of a client's "LOGIN", "LOGINNEW" or "USERUPDATE" replaced by
// "***"; every other byte as it was. An empty password stays empty (nothing to hide, and the
// operator sees that none was given).
std::string MaskPasswords(std::string_view line);

class TTraceLog {
 public:
  void SetIncoming(bool on) { FIncoming = on; }
  void SetOutgoing(bool on) { FOutgoing = on; }
  bool Incoming() const { return FIncoming; }
  bool Outgoing() const { return FOutgoing; }

  // Opens the file, private to its owner when it creates it. On failure returns false with the
  // reason; no file is open.
  bool Open(const std::string& path, std::string& error, TLogFileStart start = TLogFileStart::Anew);
  void Close();
  bool IsOpen() const { return FFile != nullptr; }

  // Nothing is built unless a pane or the file wants it.
  bool WantsIncoming() const { return FIncoming || IsOpen(); }
  bool WantsOutgoing() const { return FOutgoing || IsOpen(); }
  // Inline, so that a line costs one test while tracing is off.
  void TraceIncoming(std::string_view who, std::string_view line, IServerObserver& observer) {
    if (WantsIncoming())
      Trace(FIncoming ? &IServerObserver::TraceIncoming : nullptr, "Rcvd From ", who,
            MaskPasswords(line), observer);
  }
  void TraceOutgoing(std::string_view who, std::string_view line, IServerObserver& observer) {
    if (WantsOutgoing())
      Trace(FOutgoing ? &IServerObserver::TraceOutgoing : nullptr, "Sent To ", who, line, observer);
  }

 private:
  using TPane = void (IServerObserver::*)(std::string_view);
  void Trace(TPane pane, std::string_view logPrefix, std::string_view who, std::string_view line,
             IServerObserver& observer);

  bool FIncoming = false;
  bool FOutgoing = false;
  std::shared_ptr<TLogFile> FFile;
};

}  // namespace zorva
