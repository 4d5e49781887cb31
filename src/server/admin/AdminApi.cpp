#include "AdminApi.h"

#include <algorithm>
#include <limits>
#include <string_view>
#include <vector>

#include "AdminViews.h"
#include "MetricsText.h"
#include "TokenFile.h"
#include "ZorvaProtocol.h"

namespace zorva {

namespace {

using TJson = nlohmann::json;
using TParams = std::vector<std::string>;

constexpr std::size_t kMaxSubjectName = 64;

TAdminResponse Json(int status, const TJson& body) {
  return {status, "application/json", body.dump(-1, ' ', false, TJson::error_handler_t::replace)};
}

TAdminResponse Error(int status, std::string_view message) {
  return Json(status, {{"error", message}});
}

// The text of a protocol error line, without its "ERROR|".
std::string ErrorText(std::string_view line) {
  return std::string(line.substr(line.find(kFieldSeparator) + 1));
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

bool HasControlByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// Subject names travel inside protocol fields: no separator, no control byte.
bool ValidSubjectName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxSubjectName &&
         name.find(kFieldSeparator) == std::string_view::npos && !HasControlByte(name);
}

// A member of `body` of the given kind; `error` says what is wrong when it is there but not so.
template <class Wanted>
std::optional<Wanted> Field(const TJson& body, const char* name, bool (TJson::*isKind)() const,
                            std::string& error) {
  const auto found = body.find(name);
  if (found == body.end()) return std::nullopt;
  if (!((*found).*isKind)()) {
    error = std::string("\"") + name + "\" has the wrong type";
    return std::nullopt;
  }
  return found->template get<Wanted>();
}

std::optional<std::string> StringField(const TJson& body, const char* name, std::string& error) {
  return Field<std::string>(body, name, &TJson::is_string, error);
}

std::optional<bool> BoolField(const TJson& body, const char* name, std::string& error) {
  return Field<bool>(body, name, &TJson::is_boolean, error);
}

struct TRoute {
  std::string_view Method;
  std::vector<std::string_view> Pattern;  // "*" takes any one segment
  bool WantsBody;
  std::function<TAdminResponse(const TParams&, const TJson&)> Handle;
};

// The segments in the pattern's "*" places, or nullopt when the path does not match.
std::optional<TParams> Match(const std::vector<std::string_view>& pattern,
                             const std::vector<std::string>& segments) {
  if (pattern.size() != segments.size()) return std::nullopt;
  TParams params;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == "*") {
      params.push_back(segments[i]);
    } else if (pattern[i] != segments[i]) {
      return std::nullopt;
    }
  }
  return params;
}

}  // namespace

TAdminResponse AdminApi::Handle(const TAdminRequest& request) const {
  if (request.Body.size() > kMaxBody) return Error(413, "The request body is too large");
  const auto target = ParseRequestTarget(request.Target);
  if (!target) return Error(400, "The request path is malformed");
  return Route(request, *target);
}

bool AdminApi::Authorized(const TAdminRequest& request) const {
  constexpr std::string_view kScheme = "Bearer ";
  const std::string_view header = request.Authorization;
  if (!header.starts_with(kScheme)) return false;
  return TokensEqual(FOptions.Token, header.substr(kScheme.size()));
}

TAdminResponse AdminApi::Route(const TAdminRequest& request, const TRequestTarget& target) const {
  const auto& segments = target.Segments;
  const bool health = segments == std::vector<std::string>{"healthz"};
  const bool metrics = segments == std::vector<std::string>{"metrics"};
  if (health || metrics) {
    if (request.Method != "GET") return Error(405, "Use GET");
    if (health) return Health();
    if (!FOptions.MetricsPublic && !Authorized(request)) return Error(401, "Unauthorized");
    return Metrics();
  }
  if (!Authorized(request)) return Error(401, "Unauthorized");
  if (segments.empty() || segments.front() != "v1") return Error(404, "No such endpoint");
  return RouteV1(request.Method, target, request.Body);
}

TAdminResponse AdminApi::RouteV1(const std::string& method, const TRequestTarget& target,
                                 const std::string& body) const {
  const std::vector<TRoute> routes = {
      {"GET", {"stats"}, false, [&](auto&, auto&) { return Stats(); }},
      {"GET", {"users"}, false, [&](auto&, auto&) { return Users(target); }},
      {"POST", {"users", "*", "kill"}, false, [&](auto& p, auto&) { return Kill(p[0]); }},
      {"GET", {"subjects"}, false, [&](auto&, auto&) { return Subjects(); }},
      {"POST", {"subjects"}, true, [&](auto&, auto& json) { return CreateSubject(json); }},
      {"DELETE",
       {"subjects", "*", "*"},
       false,
       [&](auto& p, auto&) { return DeleteSubject(p[0], p[1]); }},
      {"POST", {"shout"}, true, [&](auto&, auto& json) { return Shout(json); }},
      {"POST", {"trace"}, true, [&](auto&, auto& json) { return Trace(json); }},
      {"POST", {"stop"}, false, [&](auto&, auto&) { return Stop(); }},
  };
  const std::vector<std::string> path(target.Segments.begin() + 1, target.Segments.end());
  bool pathKnown = false;
  for (const auto& route : routes) {
    const auto params = Match(route.Pattern, path);
    if (!params) continue;
    pathKnown = true;
    if (route.Method != method) continue;
    if (!route.WantsBody) return route.Handle(*params, TJson());
    const auto json = TJson::parse(body, nullptr, false);
    if (json.is_discarded()) return Error(400, "The request body is not valid JSON");
    if (!json.is_object()) return Error(400, "The request body must be a JSON object");
    return route.Handle(*params, json);
  }
  return pathKnown ? Error(405, "Method not allowed") : Error(404, "No such endpoint");
}

TAdminResponse AdminApi::OnCore(const std::function<TAdminResponse()>& body) const {
  TAdminResponse response;
  if (!FContext.RunOnCore([&] { response = body(); })) {
    return Error(503, "The server core did not answer in time");
  }
  return response;
}

TAdminResponse AdminApi::Health() const {
  return OnCore([&] {
    return Json(200, {{"status", "ok"}, {"running", FContext.Core.Running()}});
  });
}

TAdminResponse AdminApi::Metrics() const {
  TMetricsSnapshot snapshot;
  const auto taken = OnCore([&] {
    snapshot = TakeMetricsSnapshot(FContext.Core, FContext.ProcessStartUnix, FContext.Cluster);
    return TAdminResponse{};
  });
  if (taken.Status != 200) return taken;
  return {200, kMetricsContentType, MetricsText(snapshot)};
}

TAdminResponse AdminApi::Stats() const {
  return OnCore([&] { return Json(200, StatsView(FContext.Core, FContext.Cluster)); });
}

TAdminResponse AdminApi::Users(const TRequestTarget& target) const {
  std::optional<std::string> code;
  if (const auto found = target.Query.find("code"); found != target.Query.end()) {
    code = found->second;
  }
  return OnCore([&] {
    const TTimeBase time{FContext.Clock.NowMs(), FContext.UnixNow()};
    return Json(200, UsersView(FContext.Core, time, code, FContext.Cluster));
  });
}

TAdminResponse AdminApi::Subjects() const {
  return OnCore([&] { return Json(200, SubjectsView(FContext.Core)); });
}

TAdminResponse AdminApi::Kill(const std::string& userId) const {
  return OnCore([&] {
    for (const auto* guest : FContext.Core.Guests()) {
      if (!guest->User() || guest->User()->Id() != userId) continue;
      FContext.Core.KillGuest(guest->Connection());
      return Json(200, {{"killed", userId}});
    }
    return Error(404, "No such user: " + userId);
  });
}

TAdminResponse AdminApi::Shout(const TJson& body) const {
  std::string error;
  const auto text = StringField(body, "text", error);
  const auto code = StringField(body, "code", error);
  const auto subject = StringField(body, "subject", error);
  if (!error.empty()) return Error(400, error);
  if (!text || text->empty()) return Error(400, "\"text\" is required and must not be empty");
  if (HasLineBreak(*text)) return Error(400, "The text must not hold a line break");
  if (HasControlByte(*text)) return Error(400, "The text must not hold a control byte");
  if (subject && !code) return Error(400, "A subject needs its \"code\"");
  return OnCore([&] {
    auto& core = FContext.Core;
    if (!core.Running()) return Error(409, "The server is not running");
    auto target = TShoutTarget::ToAll();
    if (code) {
      const auto codes = core.SubjectCodes();
      if (std::find(codes.begin(), codes.end(), *code) == codes.end()) {
        return Error(404, "No such subject code: " + *code);
      }
      target = TShoutTarget::ToSubjectCode(*code);
    }
    if (subject) {
      if (!core.FindSubject(*code, *subject)) return Error(404, ErrorText(Err::NoSuchSubject));
      target = TShoutTarget::ToSubject(*code, *subject);
    }
    core.Shout(target, *text);
    return Json(200, {{"shouted", *text}});
  });
}

TAdminResponse AdminApi::CreateSubject(const TJson& body) const {
  std::string error;
  const auto code = StringField(body, "code", error);
  const auto name = StringField(body, "name", error);
  const auto persistent = BoolField(body, "persistent", error).value_or(false);
  if (!error.empty()) return Error(400, error);
  if (!code || !name) return Error(400, "\"code\" and \"name\" are required");
  if (!ValidSubjectName(*name)) return Error(400, "Invalid Subject Name");
  std::int32_t limit = 0;
  if (const auto found = body.find("limit"); found != body.end()) {
    if (!found->is_number_integer() || *found < std::numeric_limits<std::int32_t>::min() ||
        *found > std::numeric_limits<std::int32_t>::max()) {
      return Error(400, "Invalid Member Limit");
    }
    limit = found->get<std::int32_t>();
  }
  return OnCore([&] {
    switch (FContext.Core.CreateSubject(*code, *name, limit, persistent)) {
      case TCreateSubjectResult::Created:
        return Json(201, {{"code", *code}, {"name", *name}, {"limit", limit}});
      case TCreateSubjectResult::EmptyName:
        return Error(400, "Invalid Subject Name");
      case TCreateSubjectResult::Exists:
        return Error(409, "A Subject with that name already exists");
      case TCreateSubjectResult::NoSuchCode:
        break;
    }
    return Error(404, "No such subject code: " + *code);
  });
}

TAdminResponse AdminApi::DeleteSubject(const std::string& code, const std::string& name) const {
  return OnCore([&] {
    switch (FContext.Core.DeleteSubject(code, name)) {
      case TDeleteSubjectResult::Deleted:
        return Json(200, {{"deleted", {{"code", code}, {"name", name}}}});
      case TDeleteSubjectResult::IsLobby:
        return Error(400, "You cannot delete the main Lobby");
      case TDeleteSubjectResult::NotFound:
        break;
    }
    return Error(404, ErrorText(Err::NoSuchSubject));
  });
}

TAdminResponse AdminApi::Trace(const TJson& body) const {
  std::string error;
  const auto incoming = BoolField(body, "incoming", error);
  const auto outgoing = BoolField(body, "outgoing", error);
  if (!error.empty()) return Error(400, error);
  if (!incoming && !outgoing) return Error(400, "Give \"incoming\", \"outgoing\" or both");
  return OnCore([&] {
    if (incoming) FContext.Core.SetTraceIncoming(*incoming);
    if (outgoing) FContext.Core.SetTraceOutgoing(*outgoing);
    TJson changed = TJson::object();
    if (incoming) changed["incoming"] = *incoming;
    if (outgoing) changed["outgoing"] = *outgoing;
    return Json(200, changed);
  });
}

TAdminResponse AdminApi::Stop() const {
  return OnCore([&] {
    FContext.Stop();
    return Json(202, {{"stopping", true}});
  });
}

}  // namespace zorva
