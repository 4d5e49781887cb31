// The topology zorva-bench builds: subjects (Redis: channels) and the connections that receive
// and publish in them. TLoadRun owns both; the dialects read and set them up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BenchConnection.h"

namespace zorva {

struct TBenchMember;

struct TBenchSubject {
  std::string Name;  // subject or channel name
  std::string Code;  // subject code of its group (one lobby per subject keeps lobbies small)
  bool Created = false;
  std::vector<TBenchMember*> WaitingJoiners;  // in the lobby until the creator is done
  std::vector<TBenchMember*> Publishers;
  std::size_t NextPublisher = 0;
  std::uint64_t SentLines = 0;
  std::uint64_t ReceivedLines = 0;  // delivery lines counted by its receivers
  bool TopUpDue = false;            // waits for this loop turn's top-up
};

struct TBenchMember {
  struct TRole {
    bool Creator = false;      // creates the subject; the others join it
    bool Receives = true;      // counts deliveries
    bool Publishes = false;    // sends lines
    bool JoinsSubject = true;  // false: stays in its lobby (idle)
  };

  TBenchMember(asio::io_context& io, std::vector<char>& readBuffer, ILineSink& sink,
               std::size_t index, TBenchSubject& subject, TRole role)
      : Id("u" + std::to_string(index)),
        Subject(subject),
        Role(role),
        Connection(io, sink, readBuffer, index) {}

  const std::string Id;
  TBenchSubject& Subject;
  const TRole Role;
  bool Ready = false;
  std::string PublishBytes;  // the throughput line, built once
  TBenchConnection Connection;
};

}  // namespace zorva
