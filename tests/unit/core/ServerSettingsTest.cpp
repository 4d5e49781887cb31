// The settings file: defaults, bad values, and writing that keeps the rest of the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "IniFile.h"
#include "ServerSettings.h"

namespace zorva {
namespace {

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Folder = std::filesystem::path(::testing::TempDir()) /
             ("zorva-settings-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(Folder);
    Path = (Folder / "zorva" / "Win.ini").string();
  }
  void TearDown() override { std::filesystem::remove_all(Folder); }

  void WriteFile(const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
    std::ofstream(Path, std::ios::binary) << text;
  }
  std::string ReadFile() {
    std::ifstream file(Path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  std::filesystem::path Folder;
  std::string Path;
};

TEST_F(SettingsFileTest, MissingFileGivesDefaultsAndIsCreatedOnWrite) {
  const auto settings = ReadSettings(Path);
  EXPECT_EQ(settings.LobbyName, "Lobby Chat");
  EXPECT_EQ(settings.Timeout, 60);
  EXPECT_EQ(settings.Port, 4000);
  std::string error;
  ASSERT_TRUE(WriteSettings(Path, settings, &error)) << error;
  EXPECT_EQ(ReadFile(), "[ZorvaServer]\nLobbyName=Lobby Chat\nTimeout=60\nPort=4000\n");
}

TEST_F(SettingsFileTest, BadNumbersGiveDefaults) {
  WriteFile("[zorvaserver]\nPort = abc\nTimeout=12.5\nLobbyName = Main Hall \n");
  const auto settings = ReadSettings(Path);
  EXPECT_EQ(settings.Port, 4000);
  EXPECT_EQ(settings.Timeout, 60);
  EXPECT_EQ(settings.LobbyName, "Main Hall");
}

TEST_F(SettingsFileTest, WriteKeepsEverythingElse) {
  WriteFile(
      "; top comment\n[Other]\nPort=1\n\n[ZorvaServer]\nExtra=keep\nPort=5000\n\n[Last]\nA=b\n");
  TServerSettings settings;
  settings.Port = 4100;
  settings.Timeout = 90;
  ASSERT_TRUE(WriteSettings(Path, settings));
  EXPECT_EQ(ReadFile(),
            "; top comment\n[Other]\nPort=1\n\n[ZorvaServer]\nExtra=keep\nPort=4100\n"
            "LobbyName=Lobby Chat\nTimeout=90\n\n[Last]\nA=b\n");
  EXPECT_EQ(ReadSettings(Path).Port, 4100);
}

TEST(IniFileTest, CarriageReturnsAndMissingFinalLineFeedKept) {
  auto ini = TIniFile::Parse("[A]\r\nx=1\r\n[B]\r\ny=2");
  EXPECT_EQ(ini.Read("a", "X"), "1");
  ini.Write("A", "z", "3");
  ini.Write("C", "w", "4");
  EXPECT_EQ(ini.Text(), "[A]\r\nx=1\r\nz=3\r\n[B]\r\ny=2\n\r\n[C]\r\nw=4\r");
}

TEST(NumberProblemTest, SaysWhatIsWrongInWords) {
  struct Case {
    const char* text;
    TNumberRange range;
    std::optional<std::string> problem;
  };
  const Case cases[] = {
      {"60", kTimeoutRange, std::nullopt},
      {"1", kTimeoutRange, std::nullopt},
      {"2147483", kTimeoutRange, std::nullopt},
      {"0", kTimeoutRange, "0 is out of range; give 1 to 2147483 seconds"},
      {"2147484", kTimeoutRange, "2147484 is out of range; give 1 to 2147483 seconds"},
      {"-5", kPortRange, "-5 is out of range; give 0 to 65535"},
      {"99999999999999999999", kPortRange, "99999999999999999999 is out of range; give 0 to 65535"},
      {"abc", kPortRange, "'abc' is not a number"},
      {"", kPortRange, "'' is not a number"},
      {"12.5", kTimeoutRange, "'12.5' is not a number"},
      {"+4", kPortRange, "'+4' is not a number"},
      {" 4", kPortRange, "' 4' is not a number"},
      {"-", kPortRange, "'-' is not a number"},
  };
  for (const auto& c : cases) EXPECT_EQ(NumberProblem(c.text, c.range), c.problem) << c.text;
}

TEST_F(SettingsFileTest, ValuesOutOfRangeAreReportedAndReplacedByDefaults) {
  WriteFile("[ZorvaServer]\nTimeout=0\nPort=65536\nLobbyName=Hall\n");
  std::vector<std::string> warnings;
  const auto settings = ReadSettings(Path, &warnings);
  EXPECT_EQ(settings.Timeout, 60);
  EXPECT_EQ(settings.Port, 4000);
  EXPECT_EQ(settings.LobbyName, "Hall");
  const std::vector<std::string> expected = {
      Path + ": Timeout=0: 0 is out of range; give 1 to 2147483 seconds; using 60 instead",
      Path + ": Port=65536: 65536 is out of range; give 0 to 65535; using 4000 instead"};
  EXPECT_EQ(warnings, expected);
}

TEST_F(SettingsFileTest, TryLoadTellsUnreadableFromMissing) {
  struct Case {
    const char* label;
    std::function<void()> make;
    bool loads;
  };
  const Case cases[] = {
      {"missing", [] {}, true},
      {"text", [this] { WriteFile("[ZorvaServer]\nPort=1\n"); }, true},
      {"empty", [this] { WriteFile(""); }, true},
      {"folder", [this] { std::filesystem::create_directories(Path); }, false},
      {"binary", [this] { WriteFile(std::string("PK\0\3", 4)); }, false},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(Folder);
    c.make();
    std::string error;
    EXPECT_EQ(TIniFile::TryLoad(Path, error).has_value(), c.loads) << c.label;
    EXPECT_EQ(error.empty(), c.loads) << c.label << ": " << error;
  }
}

}  // namespace
}  // namespace zorva
