#include "ChatInput.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

namespace zorva {

namespace {

// How a failure reads before the address, by the errno value the connection reports.
std::string_view Failure(int code) {
  switch (code) {
    case ECONNREFUSED:
      return "connection refused by ";
    case ECONNRESET:
      return "connection reset by ";
    case ETIMEDOUT:
      return "no answer from ";
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTUNREACH:
      return "cannot reach ";
    default:
      return "cannot connect to ";
  }
}

std::string Describe(char c) {
  if (c == '|' || c == '^' || c == '`') return std::string("'") + c + "'";
  return "a control character";
}

// Reads one line from the terminal with its echo switched off, then puts the echo back.
std::string PromptWithoutEcho() {
  std::cerr << "Password: " << std::flush;
  termios saved{};
  const bool haveTerminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (haveTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string password;
  std::getline(std::cin, password);
  if (haveTerminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::cerr << std::endl;
  return password;
}

}  // namespace

std::optional<std::string> NameProblem(std::string_view name) {
  if (name.empty()) return "it is empty";
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '|' || c == '^' || c == '`' || byte < 0x20 || byte == 0x7f) {
      return "'" + std::string(name) + "' holds " + Describe(c) + ", which the server cannot take";
    }
  }
  return std::nullopt;
}

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line)) {
    error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (line.ends_with('\r')) line.pop_back();
  return line;
}

std::optional<std::string> ChoosePassword(const TPasswordSources& sources, std::string& error) {
  if (sources.Given) return sources.Given;
  if (sources.File) return ReadPasswordFile(*sources.File, error);
  if (sources.Environment) return std::string(sources.Environment);
  if (sources.Terminal) return PromptWithoutEcho();
  return std::string();
}

std::string SocketErrorText(int code, std::string_view socketText, std::string_view host,
                            int port) {
  return std::string(Failure(code)) + std::string(host) + ":" + std::to_string(port) + " (error " +
         std::to_string(code) + ": " + std::string(socketText) + ")";
}

}  // namespace zorva
