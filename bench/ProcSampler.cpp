#include "ProcSampler.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace zorva {

namespace {

std::string ProcPath(int pid, const char* file) {
  return "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/" + file;
}

std::optional<double> ReadCpuSeconds(int pid) {
  std::ifstream in(ProcPath(pid, "stat"));
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  // The command name may hold spaces and parentheses; the fields proper start after the last ')'.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  unsigned long long userTicks = 0;
  unsigned long long systemTicks = 0;
  if (!(fields >> userTicks >> systemTicks)) return std::nullopt;
  return static_cast<double>(userTicks + systemTicks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::optional<std::uint64_t> ReadRssBytes(int pid) {
  std::ifstream in(ProcPath(pid, "status"));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.starts_with("VmRSS:")) continue;
    std::istringstream value(line.substr(6));
    std::uint64_t kib = 0;
    if (!(value >> kib)) return std::nullopt;
    return kib * 1024;
  }
  return std::nullopt;
}

}  // namespace

std::optional<TProcSample> SampleProcess(int pid) {
  const auto cpu = ReadCpuSeconds(pid);
  const auto rss = ReadRssBytes(pid);
  if (!cpu || !rss) return std::nullopt;
  return TProcSample{*cpu, *rss};
}

}  // namespace zorva
