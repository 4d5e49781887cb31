// The event lines on a code's channel: one per shared change or relayed line, fields separated
// by "|", the kind first and the origin node second (docs/CLUSTER.md has the table). Relayed
// lines ("L", "H") carry the line as the sender's node built it, after the header fields, so
// a receiver passes it on without parsing it. The views of a decoded event point into the
// payload it was decoded from.
//
//   TClusterEvent event;
//   if (DecodeEvent(payload, event) && event.Origin != myNode) Apply(event);
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ClusterPort.h"

namespace zorva {

struct TClusterEvent {
  enum class TKind {
    Line,            // L|origin|subject|line: to the subject's members
    GuestLine,       // H|origin|id|line: to one guest
    SubjectAdded,    // A|origin|subject
    SubjectRemoved,  // R|origin|subject
    MemberJoined,    // J|origin|subject|full|rtt|id|usertext
    MemberLeft,      // G|origin|subject|id
    UserUpdated,     // U|origin|subject|id|usertext
    RoundTrips,      // P|origin|id|rtt|id|rtt|...|
  };
  TKind Kind = TKind::Line;
  std::string_view Origin;  // empty: no node applied it yet, every node applies it
  std::string_view Subject;
  std::string_view Id;
  std::string_view Text;  // the relayed line, or the user text
  bool Full = false;
  int RoundTrip = 0;
  std::vector<TRoundTrip> RoundTrips;
};

// False, leaving `event` in an unspecified state, for a payload that is not a whole event.
bool DecodeEvent(std::string_view payload, TClusterEvent& event);

std::string EncodeLine(std::string_view origin, std::string_view subject, std::string_view line);
std::string EncodeGuestLine(std::string_view origin, std::string_view id, std::string_view line);

}  // namespace zorva
