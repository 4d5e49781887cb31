// What zorva-admin asks the admin API for, and how it shows the answer: a parsed command turns
// into one HTTP call, and the call's JSON answer into a table for a person (or the JSON as is).
//
//   const auto call = BuildCall(command);            // {"POST", "/v1/users/alice/kill", ...}
//   std::cout << RenderAnswer(command.Verb, answer);  // "Killed alice"
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace zorva {

struct TAdminCommand {
  std::string Verb;  // who, subjects, stats, kill, shout, create, delete, trace, stop
  std::string Id;    // kill
  std::string Text;  // shout
  std::optional<std::string> Code;     // shout --code, create, delete
  std::optional<std::string> Subject;  // shout --subject, create, delete
  std::optional<std::int32_t> Limit;   // create
  std::string TraceMode;               // trace: in, out, off
};

struct TApiCall {
  std::string Method;
  std::string Path;
  std::optional<nlohmann::json> Body;
};

TApiCall BuildCall(const TAdminCommand& command);

// A path segment with everything but unreserved characters percent-encoded.
std::string EncodeSegment(const std::string& text);

// The answer for a person: a table for who and subjects, name/value lines for stats, one line
// for the rest.
std::string RenderAnswer(const std::string& verb, const nlohmann::json& answer);

}  // namespace zorva
