// A small HTTP/1.1 client over plain loopback sockets for the collector's HTTP tests: it sends
// exactly the bytes a test gives (malformed requests included) and reads the whole answer
// within a time bound.
#ifndef VESKA_TESTS_SUPPORT_HTTP_CLIENT_H
#define VESKA_TESTS_SUPPORT_HTTP_CLIENT_H

#include <map>
#include <string>
#include <vector>

namespace veska_test {

struct HttpAnswer {
  int status = 0;  // 0: no status line came back (refused, closed or timed out)
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string header(const std::string &lower_case_name) const {
    auto found = headers.find(lower_case_name);
    return found == headers.end() ? "" : found->second;
  }
};

// Sends `request` as it is to `address` ("127.0.0.1:PORT") and reads until the server closes
// the connection or timeout_s passes. Sending stops early once the server answers.
HttpAnswer http_exchange(const std::string &address, const std::string &request,
                         double timeout_s = 30);

// A request for `target` with "Connection: close" and the given extra header lines
// ("Authorization: Bearer x").
HttpAnswer http_request(const std::string &address, const std::string &method,
                        const std::string &target, const std::vector<std::string> &headers = {});

inline HttpAnswer http_get(const std::string &address, const std::string &target,
                           const std::vector<std::string> &headers = {}) {
  return http_request(address, "GET", target, headers);
}

}  // namespace veska_test

#endif  // VESKA_TESTS_SUPPORT_HTTP_CLIENT_H
