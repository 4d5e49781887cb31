// The settings file: defaults, bad values, and writing that keeps the rest of the file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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

}  // namespace
}  // namespace zorva
