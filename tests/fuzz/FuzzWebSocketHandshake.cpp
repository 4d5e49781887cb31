// Any bytes as the HTTP request of a WebSocket port, under a few policies: the answer never
// depends on what follows the request's blank line, a prefix without one waits, a connection
// fed the bytes in pieces answers what the whole request is answered, and a served file is one
// of the web root's own, never the file that a link or a ".." reaches outside it.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "WebSocketHandshake.h"
#include "WebSocketLayer.h"

namespace {

namespace fs = std::filesystem;
using zorva::THttpAnswer;

constexpr std::string_view kOutsideBody = "outside the web root";
constexpr std::array<std::string_view, 3> kInsideBodies = {"<p>index</p>", "let game = 1;",
                                                           "body {}"};

// A folder with a web root and, beside it, a file that a link inside the root points at.
struct TWebRootFixture {
  fs::path Folder;
  std::string Root;

  TWebRootFixture() {
    char pattern[] = "/tmp/zorva-fuzz-webroot-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    Folder = pattern;
    const auto root = Folder / "root";
    fs::create_directories(root / "js");
    Write(root / "index.html", kInsideBodies[0]);
    Write(root / "js" / "app.js", kInsideBodies[1]);
    Write(root / "js" / "style.css", kInsideBodies[2]);
    Write(Folder / "secret.txt", kOutsideBody);
    fs::create_symlink(Folder / "secret.txt", root / "leak.txt");
    fs::create_directory_symlink(Folder, root / "up");
    Root = root.string();
  }
  ~TWebRootFixture() {
    std::error_code ec;
    fs::remove_all(Folder, ec);
  }

  static void Write(const fs::path& file, std::string_view body) {
    std::ofstream(file, std::ios::binary) << body;
  }
};

const TWebRootFixture& WebRoot() {
  static const TWebRootFixture fixture;
  return fixture;
}

zorva::TWebSocketPolicy PolicyFor(unsigned char choice) {
  zorva::TWebSocketPolicy policy;
  if (choice & 1) policy.Origins = {"https://game.example", "http://127.0.0.1:8080"};
  if (choice & 2) policy.WebRoot = WebRoot().Root;
  if (choice & 4) policy.MaxFileBytes = 8;
  return policy;
}

// Inputs are shorter than the request limit; repeating one reaches it.
std::string Padded(std::string_view bytes, bool pad) {
  std::string request(bytes);
  while (pad && !bytes.empty() && request.size() <= zorva::kMaxRequestBytes) request.append(bytes);
  return request;
}

void Check(bool holds) {
  if (!holds) std::abort();
}

void CheckServedBody(const THttpAnswer& answer) {
  if (answer.Kind != THttpAnswer::TKind::Served || !answer.Response.starts_with("HTTP/1.1 200 "))
    return;
  const auto body = std::string_view(answer.Response).substr(answer.Response.find("\r\n\r\n") + 4);
  Check(body != kOutsideBody);
  Check(std::ranges::find(kInsideBodies, body) != kInsideBodies.end());
}

void CheckAnswer(std::string_view request, const THttpAnswer& answer) {
  const auto end = request.substr(0, zorva::kMaxRequestBytes).find("\r\n\r\n");
  if (answer.Kind == THttpAnswer::TKind::Incomplete) {
    Check(end == std::string_view::npos && request.size() < zorva::kMaxRequestBytes);
    Check(answer.Response.empty() && answer.RequestBytes == 0);
    return;
  }
  Check(answer.Response.starts_with("HTTP/1.1 "));
  Check(answer.RequestBytes <= request.size());
  if (answer.Kind == THttpAnswer::TKind::Upgrade) {
    Check(request.starts_with("GET /zorva ") || request.starts_with("GET /zorva?"));
  }
  CheckServedBody(answer);
}

// The layer buffers the request itself; fed in pieces it must answer as the whole request is.
void CheckInPieces(std::string_view bytes, std::string_view request, const THttpAnswer& whole,
                   const zorva::TWebSocketPolicy& policy) {
  zorva::WebSocketLayer layer(policy, 256);
  std::string lines, out;
  auto result = zorva::WebSocketLayer::TResult::Handshaking;
  while (!request.empty() && result == zorva::WebSocketLayer::TResult::Handshaking) {
    const std::size_t cut = 1 + static_cast<unsigned char>(bytes.empty() ? 0 : bytes.front()) % 64;
    if (!bytes.empty()) bytes.remove_prefix(1);
    result = layer.Receive(request.substr(0, cut), lines, out);
    request.remove_prefix(std::min(cut, request.size()));
  }
  if (whole.Kind == THttpAnswer::TKind::Incomplete) {
    Check(result == zorva::WebSocketLayer::TResult::Handshaking && out.empty());
    return;
  }
  Check(out.starts_with(whole.Response));
  Check(layer.Upgraded() == (whole.Kind == THttpAnswer::TKind::Upgrade));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto policy = PolicyFor(data[0]);
  const std::string request =
      Padded({reinterpret_cast<const char*>(data) + 1, size - 1}, (data[0] & 8) != 0);
  const auto whole = zorva::AnswerHttpRequest(request, policy);
  CheckAnswer(request, whole);
  if (whole.RequestBytes > 0) {
    // What follows the request is the client's first frames, not part of the answer.
    const auto head = zorva::AnswerHttpRequest(request.substr(0, whole.RequestBytes), policy);
    Check(head.Kind == whole.Kind && head.Response == whole.Response);
  }
  // The request's own bytes choose where the pieces are cut.
  CheckInPieces(request, request, whole, policy);
  return 0;
}
