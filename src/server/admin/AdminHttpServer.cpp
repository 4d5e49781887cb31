#include "AdminHttpServer.h"

#include <httplib.h>

#include <chrono>

namespace zorva {

namespace {

constexpr auto kReadTimeout = std::chrono::seconds(5);
constexpr auto kWriteTimeout = std::chrono::seconds(5);
constexpr auto kKeepAlive = std::chrono::seconds(5);

std::string RefusalText(int status) {
  switch (status) {
    case 413:
      return "The request body is too large";
    case 414:
      return "The request path is too long";
    default:
      return "Bad request";
  }
}

// httplib reads a body for these methods; without Content-Length or Transfer-Encoding (as
// "curl -X POST" sends them) it reads until the peer closes and answers 400 at its read timeout.
bool BodilessRequestWithBodyMethod(const httplib::Request& request) {
  const auto& method = request.method;
  const bool readsBody = method == "POST" || method == "PUT" || method == "PATCH" ||
                         method == "DELETE" || method == "PRI";
  return readsBody && !request.has_header("Content-Length") &&
         !request.has_header("Transfer-Encoding");
}

}  // namespace

AdminHttpServer::AdminHttpServer(const AdminApi& api)
    : FApi(api), FServer(std::make_unique<httplib::Server>()) {
  auto forward = [this](const httplib::Request& request, httplib::Response& response) {
    const auto answer = FApi.Handle(
        {request.method, request.target, request.get_header_value("Authorization"), request.body});
    response.status = answer.Status;
    response.set_content(answer.Body, answer.ContentType.c_str());
  };
  FServer->Get(".*", forward);
  FServer->Post(".*", forward);
  FServer->Delete(".*", forward);
  FServer->Put(".*", forward);
  FServer->Patch(".*", forward);
  // Such a request has no body: it is answered here, before httplib waits for one.
  FServer->set_pre_routing_handler(
      [forward](const httplib::Request& request, httplib::Response& response) {
        if (!BodilessRequestWithBodyMethod(request)) {
          return httplib::Server::HandlerResponse::Unhandled;
        }
        forward(request, response);
        return httplib::Server::HandlerResponse::Handled;
      });
  FServer->set_payload_max_length(AdminApi::kMaxBody);
  FServer->set_read_timeout(kReadTimeout);
  FServer->set_write_timeout(kWriteTimeout);
  FServer->set_keep_alive_timeout(kKeepAlive.count());
  // httplib answers what never reaches a handler (an oversized body, a bad request line) with a
  // bare status; give those a JSON message like every other error.
  FServer->set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;
    response.set_content(nlohmann::json{{"error", RefusalText(response.status)}}.dump(),
                         "application/json");
  });
  FServer->set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        response.status = 500;
        response.set_content(R"({"error":"Internal error"})", "application/json");
      });
}

AdminHttpServer::~AdminHttpServer() {
  FServer->stop();
  if (FThread.joinable()) FThread.join();
}

bool AdminHttpServer::Start(const TListenAddress& address, std::string& error) {
  const int port = address.Port == 0
                       ? FServer->bind_to_any_port(address.Host)
                       : (FServer->bind_to_port(address.Host, address.Port) ? address.Port : -1);
  if (port <= 0) {
    error =
        "cannot listen for the admin API on " + address.Host + ":" + std::to_string(address.Port);
    return false;
  }
  FPort = static_cast<std::uint16_t>(port);
  FThread = std::thread([this] { FServer->listen_after_bind(); });
  return true;
}

}  // namespace zorva
