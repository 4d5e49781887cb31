// AdminHttpServer: serves an AdminApi over HTTP/1.1 on its own threads (cpp-httplib), with the
// limits a listener facing the network needs: bounded bodies, headers and request lines, and
// read and write timeouts for slow clients. The API itself never runs on these threads' terms:
// it posts its work to the core.
//
//   AdminHttpServer server(api);
//   if (!server.Start({"127.0.0.1", 0}, error)) report(error);
//   server.Port();  // the bound port
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "AdminApi.h"
#include "ListenAddress.h"

namespace httplib {
class Server;
}

namespace zorva {

class AdminHttpServer {
 public:
  explicit AdminHttpServer(const AdminApi& api);
  // Stops listening and waits for the requests in progress.
  ~AdminHttpServer();
  AdminHttpServer(const AdminHttpServer&) = delete;
  AdminHttpServer& operator=(const AdminHttpServer&) = delete;

  bool Start(const TListenAddress& address, std::string& error);
  std::uint16_t Port() const { return FPort; }

 private:
  const AdminApi& FApi;
  std::unique_ptr<httplib::Server> FServer;
  std::thread FThread;
  std::uint16_t FPort = 0;
};

}  // namespace zorva
