#include "AdminCommand.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "LogText.h"

namespace zorva {

namespace {

using nlohmann::json;
using TRow = std::vector<std::string>;

// The member, or null when `value` is no object or lacks it: the server's answer is not trusted
// to have the expected shape.
json Field(const json& value, const char* key) {
  if (!value.is_object()) return nullptr;
  const auto found = value.find(key);
  return found == value.end() ? json(nullptr) : *found;
}

// Ids, codes and names come from clients: escaped, so that none can steer the terminal.
std::string Text(const json& value) {
  if (value.is_null()) return "-";
  if (value.is_string()) return EscapeText(value.get<std::string>());
  return EscapeText(value.dump());
}

std::string Table(const TRow& header, const std::vector<TRow>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& title : header) widths.push_back(title.size());
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out;
  auto addRow = [&](const TRow& row) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      out += row[i];
      if (i + 1 < row.size()) out += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    out += '\n';
  };
  addRow(header);
  for (const auto& row : rows) addRow(row);
  return out;
}

// A node column only from a node of a cluster, so that a single server's table stays as it was.
std::string UsersTable(const json& users) {
  const bool clustered = users.is_array() && std::ranges::any_of(users, [](const json& user) {
                           return Field(user, "node").is_string();
                         });
  std::vector<TRow> rows;
  for (const auto& user : users) {
    TRow row{Text(Field(user, "id"))};
    if (clustered) row.push_back(Text(Field(user, "node")));
    for (const auto* key : {"code", "subject", "address", "round_trip_ms", "connected_since"})
      row.push_back(Text(Field(user, key)));
    rows.push_back(std::move(row));
  }
  TRow header{"ID", "CODE", "SUBJECT", "ADDRESS", "RTT MS", "CONNECTED SINCE"};
  if (clustered) header.insert(header.begin() + 1, "NODE");
  return Table(header, rows);
}

std::string SubjectsTable(const json& subjects) {
  std::vector<TRow> rows;
  for (const auto& subject : subjects) {
    const auto members = Field(subject, "members");
    const auto limit = Field(subject, "limit");
    const bool limited = limit.is_number_integer() && limit.get<std::int64_t>() > 0;
    rows.push_back({Text(Field(subject, "code")), Text(Field(subject, "name")),
                    limited ? Text(limit) : "-", std::to_string(members.size())});
  }
  return Table({"CODE", "NAME", "LIMIT", "MEMBERS"}, rows);
}

std::string StatsLines(const json& stats) {
  std::vector<TRow> rows;
  for (const auto& [name, value] : stats.items()) {
    if (!value.is_object()) rows.push_back({EscapeText(name), Text(value)});
  }
  const auto perCode = Field(stats, "connections_per_code");
  if (perCode.is_object()) {
    for (const auto& [code, count] : perCode.items()) {
      rows.push_back({"connections in " + EscapeText(code), Text(count)});
    }
  }
  return Table({"FIGURE", "VALUE"}, rows);
}

}  // namespace

std::string EncodeSegment(const std::string& text) {
  std::string encoded;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      encoded += static_cast<char>(c);
      continue;
    }
    char escape[4];
    std::snprintf(escape, sizeof escape, "%%%02X", c);
    encoded += escape;
  }
  return encoded;
}

TApiCall BuildCall(const TAdminCommand& command) {
  const auto& verb = command.Verb;
  if (verb == "who") {
    return {"GET", command.Code ? "/v1/users?code=" + EncodeSegment(*command.Code) : "/v1/users",
            std::nullopt};
  }
  if (verb == "subjects") return {"GET", "/v1/subjects", std::nullopt};
  if (verb == "stats") return {"GET", "/v1/stats", std::nullopt};
  if (verb == "kill")
    return {"POST", "/v1/users/" + EncodeSegment(command.Id) + "/kill", std::nullopt};
  if (verb == "stop") return {"POST", "/v1/stop", std::nullopt};
  if (verb == "delete") {
    return {"DELETE",
            "/v1/subjects/" + EncodeSegment(command.Code.value_or("")) + "/" +
                EncodeSegment(command.Subject.value_or("")),
            std::nullopt};
  }
  if (verb == "shout") {
    json body = {{"text", command.Text}};
    if (command.Code) body["code"] = *command.Code;
    if (command.Subject) body["subject"] = *command.Subject;
    return {"POST", "/v1/shout", body};
  }
  if (verb == "create") {
    return {"POST", "/v1/subjects",
            json{{"code", command.Code.value_or("")},
                 {"name", command.Subject.value_or("")},
                 {"limit", command.Limit.value_or(0)}}};
  }
  // trace: "in" and "out" switch one direction on, "off" both off.
  json body = command.TraceMode == "off"  ? json{{"incoming", false}, {"outgoing", false}}
              : command.TraceMode == "in" ? json{{"incoming", true}}
                                          : json{{"outgoing", true}};
  return {"POST", "/v1/trace", body};
}

std::string RenderAnswer(const std::string& verb, const json& answer) {
  if (verb == "who") return UsersTable(answer);
  if (verb == "subjects") return SubjectsTable(answer);
  if (verb == "stats") return StatsLines(answer);
  if (verb == "kill") return "Killed " + Text(Field(answer, "killed")) + "\n";
  if (verb == "shout") return "Shouted\n";
  if (verb == "create") return "Created subject " + Text(Field(answer, "name")) + "\n";
  if (verb == "delete") return "Deleted subject\n";
  if (verb == "stop") return "The server is stopping\n";
  return "Trace " + answer.dump() + "\n";
}

}  // namespace zorva
