#include "TokenFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace zorva {

namespace {

constexpr std::size_t kTokenBytes = 32;

std::string RandomHex() {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device device;  // the kernel's random source on Linux
  std::string text;
  for (std::size_t i = 0; i < kTokenBytes; ++i) {
    const auto byte = device() & 0xFF;
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// O_EXCL: a file made meanwhile by someone else is never overwritten.
bool WriteNewToken(const std::string& path, const std::string& token, std::string& error) {
  std::error_code ignored;
  const auto folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = SystemError("cannot create the admin token file", path);
    return false;
  }
  const std::string line = token + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  if (!written) error = SystemError("cannot write the admin token file", path);
  ::close(fd);
  return written;
}

}  // namespace

std::string DefaultTokenPath(const std::string& iniPath) {
  return (std::filesystem::path(iniPath).parent_path() / "admin-token").string();
}

std::optional<std::string> ReadToken(const std::string& path, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = SystemError("cannot read the admin token file", path);
    return std::nullopt;
  }
  std::string token;
  std::getline(in, token);
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  if (token.empty()) {
    error = "the admin token file " + path + " holds no token";
    return std::nullopt;
  }
  return token;
}

std::optional<std::string> LoadOrCreateToken(const std::string& path, std::string& error) {
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) return ReadToken(path, error);
  const auto token = RandomHex();
  if (!WriteNewToken(path, token, error)) return std::nullopt;
  return token;
}

bool TokensEqual(std::string_view expected, std::string_view presented) {
  unsigned char difference = expected.size() == presented.size() ? 0 : 1;
  for (std::size_t i = 0; i < presented.size(); ++i) {
    const char wanted = expected.empty() ? '\0' : expected[i % expected.size()];
    difference |= static_cast<unsigned char>(wanted ^ presented[i]);
  }
  return difference == 0 && !expected.empty();
}

}  // namespace zorva
