// The collector's HTTP server: libevent's evhttp on a thread and event base of its own, so the
// API and the page answer while the intake is busy. Started and stopped by main.
#ifndef VESKA_TOOLS_COLLECTOR_HTTP_HTTP_SERVER_H
#define VESKA_TOOLS_COLLECTOR_HTTP_HTTP_SERVER_H

#include <memory>
#include <string>

#include "tools/collector/store/transaction_reader.h"

namespace veska {
namespace http {

struct ServerSettings {
  std::string address;  // HOST:PORT; port 0 lets the system choose
  std::string token;    // empty: no Authorization required
  // Null without a store: the API's store routes answer 503. Used on the server's thread
  // only, and must outlive the server.
  store::TransactionReader *reader = nullptr;
  // A connection that sends nothing (or does not take its answer) for this long is closed.
  int idle_timeout_seconds = 15;
  // Connections open at once; one beyond is answered 503 and closed at once. Each open one
  // holds a descriptor and libevent's buffers until its idle timeout.
  int max_connections = 128;
};

class HttpServer {
 public:
  // Binds settings.address and starts serving on a new thread. Null, with the reason in
  // *error, when the address cannot be bound or libevent cannot be set up.
  static std::unique_ptr<HttpServer> start(const ServerSettings &settings, std::string *error);

  // Stops the thread, closes every connection and the listening socket.
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // The bound address, "HOST:PORT" ("[::1]:PORT" for IPv6).
  const std::string &address() const;
  // Whether only this machine can reach that address.
  bool loopback() const;

 private:
  class Loop;  // libevent's objects and the thread that runs them
  explicit HttpServer(std::unique_ptr<Loop> loop);
  std::unique_ptr<Loop> loop_;
};

}  // namespace http
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_HTTP_HTTP_SERVER_H
