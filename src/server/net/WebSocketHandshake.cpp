#include "WebSocketHandshake.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "WebRoot.h"

namespace zorva {

namespace {

constexpr std::string_view kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

struct THeader {
  std::string_view Name;
  std::string Value;  // repeated headers joined with ", "
};

struct TRequest {
  std::string_view Method;
  std::string_view Path;  // without the query
  std::vector<THeader> Headers;

  const std::string* Find(std::string_view name) const;
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

const std::string* TRequest::Find(std::string_view name) const {
  const auto found = std::ranges::find_if(
      Headers, [name](const THeader& h) { return EqualsNoCase(h.Name, name); });
  return found == Headers.end() ? nullptr : &found->Value;
}

// Whether the comma-separated `list` holds `token`, in any case.
bool HasToken(const std::string* list, std::string_view token) {
  if (list == nullptr) return false;
  std::string_view rest = *list;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    if (EqualsNoCase(Trimmed(rest.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return false;
}

bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool AddHeader(TRequest& request, std::string_view line) {
  const auto colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  const auto name = line.substr(0, colon);
  if (!std::ranges::all_of(name, IsTokenChar)) return false;  // also refuses folded lines
  const auto value = Trimmed(line.substr(colon + 1));
  for (auto& header : request.Headers) {
    if (!EqualsNoCase(header.Name, name)) continue;
    header.Value.append(", ").append(value);
    return true;
  }
  request.Headers.push_back({name, std::string(value)});
  return true;
}

bool ParseRequestLine(TRequest& request, std::string_view line) {
  const auto firstSpace = line.find(' ');
  const auto lastSpace = line.rfind(' ');
  if (firstSpace == std::string_view::npos || firstSpace == lastSpace) return false;
  if (line.substr(lastSpace + 1) != "HTTP/1.1") return false;
  request.Method = line.substr(0, firstSpace);
  const auto target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  request.Path = target.substr(0, target.find('?'));
  return !request.Method.empty() && request.Path.starts_with('/');
}

std::optional<TRequest> ParseRequest(std::string_view head) {
  TRequest request;
  auto lineEnd = head.find("\r\n");
  if (!ParseRequestLine(request, head.substr(0, lineEnd))) return std::nullopt;
  while (lineEnd != std::string_view::npos) {
    head.remove_prefix(lineEnd + 2);
    lineEnd = head.find("\r\n");
    const auto line = head.substr(0, lineEnd);
    if (!line.empty() && !AddHeader(request, line)) return std::nullopt;
  }
  return request;
}

std::string_view StatusText(int status) {
  switch (status) {
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 426:
      return "Upgrade Required";
    default:
      return "Request Header Fields Too Large";
  }
}

std::string Response(int status, std::string_view extraHeaders, std::string_view contentType,
                     std::string_view body) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " ";
  text.append(StatusText(status)).append("\r\nContent-Type: ").append(contentType);
  text.append("\r\nContent-Length: ").append(std::to_string(body.size()));
  text.append("\r\nConnection: close\r\n").append(extraHeaders).append("\r\n").append(body);
  return text;
}

THttpAnswer Refusal(int status, std::string_view reason, std::string_view extraHeaders = {}) {
  return {THttpAnswer::TKind::Refused,
          Response(status, extraHeaders, "text/plain; charset=utf-8", std::string(reason) + "\n"),
          0};
}

bool IsValidKey(const std::string* key) {
  if (key == nullptr || key->size() != 24) return false;
  unsigned char decoded[18];
  return EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(key->data()), 24) == 18 &&
         key->ends_with("==");
}

bool IsOriginAllowed(const TRequest& request, const TWebSocketPolicy& policy) {
  // Only browsers send an Origin; any other client could claim whatever it likes.
  const auto* origin = request.Find("Origin");
  if (policy.Origins.empty() || origin == nullptr) return true;
  return std::ranges::any_of(policy.Origins,
                             [origin](const std::string& o) { return EqualsNoCase(o, *origin); });
}

THttpAnswer Upgrade(const TRequest& request, const TWebSocketPolicy& policy) {
  if (!HasToken(request.Find("Upgrade"), "websocket") ||
      !HasToken(request.Find("Connection"), "upgrade")) {
    return Refusal(426, "This path speaks WebSocket only", "Upgrade: websocket\r\n");
  }
  const auto* version = request.Find("Sec-WebSocket-Version");
  if (version == nullptr || *version != "13") {
    return Refusal(426, "WebSocket version 13 only", "Sec-WebSocket-Version: 13\r\n");
  }
  const auto* key = request.Find("Sec-WebSocket-Key");
  if (!IsValidKey(key)) return Refusal(400, "Missing or malformed Sec-WebSocket-Key");
  if (!IsOriginAllowed(request, policy)) return Refusal(403, "Origin not allowed");
  std::string response =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Accept: " +
      WebSocketAccept(*key) + "\r\n";
  if (HasToken(request.Find("Sec-WebSocket-Protocol"), kWebSocketProtocol)) {
    response.append("Sec-WebSocket-Protocol: ").append(kWebSocketProtocol).append("\r\n");
  }
  response.append("\r\n");
  return {THttpAnswer::TKind::Upgrade, std::move(response), 0};
}

THttpAnswer Serve(const TRequest& request, const TWebSocketPolicy& policy) {
  const auto file = policy.WebRoot.empty()
                        ? std::nullopt
                        : FindWebFile(policy.WebRoot, request.Path, policy.MaxFileBytes);
  if (!file) {
    auto answer = Refusal(404, "Not found");
    answer.Kind = THttpAnswer::TKind::Served;
    return answer;
  }
  return {THttpAnswer::TKind::Served, Response(200, {}, file->ContentType, file->Body), 0};
}

THttpAnswer Answer(const TRequest& request, const TWebSocketPolicy& policy) {
  if (request.Method != "GET") return Refusal(405, "Only GET is served", "Allow: GET\r\n");
  if (request.Find("Host") == nullptr) return Refusal(400, "Missing Host");
  if (request.Path == kWebSocketPath) return Upgrade(request, policy);
  return Serve(request, policy);
}

}  // namespace

THttpAnswer AnswerHttpRequest(std::string_view buffered, const TWebSocketPolicy& policy) {
  const auto end = buffered.substr(0, kMaxRequestBytes).find(kHeaderEnd);
  if (end == std::string_view::npos) {
    if (buffered.size() < kMaxRequestBytes) return {};
    return Refusal(431, "Request headers too large");
  }
  const auto request = ParseRequest(buffered.substr(0, end));
  auto answer = request ? Answer(*request, policy) : Refusal(400, "Malformed request");
  answer.RequestBytes = end + kHeaderEnd.size();
  return answer;
}

std::string WebSocketAccept(std::string_view key) {
  std::string text(key);
  text.append(kAcceptGuid);
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  unsigned char encoded[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(encoded, digest, SHA_DIGEST_LENGTH);
  return {reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length)};
}

}  // namespace zorva
