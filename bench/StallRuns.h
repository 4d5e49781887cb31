// The zorva-bench modes that ask whether any one client can stall the others: a lobby of many
// members, a password guesser beside a real login, and chat while the user store is locked. Each
// uses plain blocking sockets with bounded waits and returns one line of key=value results.
//
//   std::string result, error;
//   if (RunLobby(options, result, error)) std::cout << result << '\n';
#pragma once

#include <string>

#include "BenchOptions.h"

namespace zorva {

// Options.Connections members log in to one lobby: the longest line any of them was sent, and
// the bytes of the first ping one member gets once all are in.
bool RunLobby(const TBenchOptions& options, std::string& result, std::string& error);

// Registers a user from 127.0.0.2, times its login alone, then again while Options.Attempts
// wrong passwords come from 127.0.0.1 over Options.Members connections.
bool RunGuessing(const TBenchOptions& options, std::string& result, std::string& error);

// Two registered members chat for Options.MeasureMs: send-to-delivery percentiles.
bool RunChatPair(const TBenchOptions& options, std::string& result, std::string& error);

}  // namespace zorva
