// ZorvaComp as a component package: its description, the units it holds, and the registration
// that a host environment runs once it has loaded the library.
#pragma once

#include <array>
#include <string_view>

namespace zorva {

inline constexpr std::string_view kZorvaCompDescription = "ZorvaServer Components";

inline constexpr std::array<std::string_view, 8> kZorvaCompUnits = {
    "ZorvaUserInfoDialog",    "ZorvaUser",       "ZorvaUtils",
    "UserInfoForm",           "ServerStatsForm", "ZorvaServerStats",
    "ZorvaServerStatsDialog", "ZorvaConnection"};

// Runs the Register of each component unit: the three classes go on the page "Zorva".
void RegisterZorvaComp();

}  // namespace zorva
