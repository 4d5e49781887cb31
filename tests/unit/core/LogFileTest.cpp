// The log file: appends (or starts anew when asked), is private to its owner, and follows its
// path when reopened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "LogFile.h"

namespace zorva {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FFolder = fs::temp_directory_path() / ("zorva-logfile-" + std::to_string(::getpid()));
    fs::remove_all(FFolder);
    fs::create_directories(FFolder);
  }
  void TearDown() override { fs::remove_all(FFolder); }
  fs::path FFolder;
};

// The daemon's file and the window's --log file append; the window's menu file starts anew each
// time it is switched on. Each is private to its owner when created.
TEST_F(LogFileTest, AppendsOrStartsAnewAndCreatesPrivateFiles) {
  struct Case {
    const char* Label;
    TLogFileStart Start;
    const char* Kept;  // what a file that held "earlier\n" holds after one line
  };
  for (const auto& c : {Case{"append", TLogFileStart::Append, "earlier\nline\n"},
                        Case{"anew", TLogFileStart::Anew, "line\n"}}) {
    const auto kept = FFolder / (std::string(c.Label) + "-kept.log");
    std::ofstream(kept) << "earlier\n";
    const auto fresh = FFolder / (std::string(c.Label) + "-fresh.log");
    std::string error;
    for (const auto& path : {kept, fresh}) {
      auto file = TLogFile::Open(path.string(), error, c.Start);
      ASSERT_TRUE(file) << c.Label << ": " << error;
      file->Write("line\n");
    }
    EXPECT_EQ(ReadAll(kept), c.Kept) << c.Label;
    EXPECT_EQ(ReadAll(fresh), "line\n") << c.Label;
    struct stat info {};
    ASSERT_EQ(::stat(fresh.c_str(), &info), 0) << c.Label;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << c.Label;
  }
}

TEST_F(LogFileTest, ReopenFollowsThePathAfterTheFileWasMoved) {
  const auto path = FFolder / "z.log";
  std::string error;
  auto file = TLogFile::Open(path.string(), error);
  ASSERT_TRUE(file) << error;
  file->Write("one\n");
  fs::rename(path, FFolder / "z.log.1");
  file->Write("two\n");  // still the moved file, as a rotator expects until it signals
  ASSERT_TRUE(file->Reopen(error)) << error;
  file->Write("three\n");
  EXPECT_EQ(ReadAll(FFolder / "z.log.1"), "one\ntwo\n");
  EXPECT_EQ(ReadAll(path), "three\n");
}

TEST_F(LogFileTest, UnopenablePathsSayWhyAndAFailedReopenKeepsTheOldFile) {
  std::string error;
  EXPECT_FALSE(TLogFile::Open((FFolder / "missing" / "z.log").string(), error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;

  const auto path = FFolder / "sub" / "z.log";
  fs::create_directories(path.parent_path());
  auto file = TLogFile::Open(path.string(), error);
  ASSERT_TRUE(file) << error;
  fs::rename(path, FFolder / "moved.log");
  fs::remove(path.parent_path());
  error.clear();
  EXPECT_FALSE(file->Reopen(error));
  EXPECT_FALSE(error.empty());
  file->Write("still here\n");
  EXPECT_EQ(ReadAll(FFolder / "moved.log"), "still here\n");
}

}  // namespace
}  // namespace zorva
