// What zorva-chat checks and gathers before it connects: names that the line protocol can carry,
// the password from a file, the environment or a prompt, and socket errors in words. Plain C++,
// so that its tests need no server and no Qt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zorva {

// Why `name` (a user id or a subject name) cannot be sent: empty, or holding a field or item
// separator ("|", "^", "`") or a control character that would cut or bend the line. Nothing when
// it can.
std::optional<std::string> NameProblem(std::string_view name);

// The first line of the file at `path`, without its line end; nothing, with the reason, when the
// file cannot be read.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error);

// The password in the order a person expects: --password, --password-file, then $ZORVA_PASSWORD,
// then a prompt without echo when standard input is a terminal; else empty.
struct TPasswordSources {
  std::optional<std::string> Given;  // --password
  std::optional<std::string> File;   // --password-file
  const char* Environment = nullptr;
  bool Terminal = false;
};
std::optional<std::string> ChoosePassword(const TPasswordSources& sources, std::string& error);

// "connection refused by 127.0.0.1:4000 (error 111: Connection refused)": a socket error with
// its errno value (0 where none fits, such as a host name that does not resolve) and the
// socket's own text, which alone tells those apart.
std::string SocketErrorText(int code, std::string_view socketText, std::string_view host, int port);

}  // namespace zorva
