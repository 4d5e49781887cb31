// A database path in a fresh temporary folder, removed with everything in it at the end of the
// test. Used by the store's unit tests.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace zorva {

class TempDatabase {
 public:
  TempDatabase() {
    static std::atomic<int> serial = 0;
    FFolder = std::filesystem::temp_directory_path() /
              ("zorva-store-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    std::filesystem::remove_all(FFolder);
    std::filesystem::create_directories(FFolder);
  }
  ~TempDatabase() {
    std::error_code ignored;
    std::filesystem::remove_all(FFolder, ignored);
  }
  TempDatabase(const TempDatabase&) = delete;
  TempDatabase& operator=(const TempDatabase&) = delete;

  std::string Path() const { return (FFolder / "ZorvaUsers.db").string(); }
  std::filesystem::path Folder() const { return FFolder; }

 private:
  std::filesystem::path FFolder;
};

}  // namespace zorva
