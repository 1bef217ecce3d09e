// What the collector answers to one HTTP request, apart from how it travels: the checks every
// request passes (target size, bearer token, method), the query API over a TransactionReader,
// /metrics, and the page's compiled-in files. Runs on the HTTP server's thread only.
#ifndef VESKA_TOOLS_COLLECTOR_HTTP_ROUTER_H
#define VESKA_TOOLS_COLLECTOR_HTTP_ROUTER_H

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/collector/store/transaction_reader.h"

namespace veska {
namespace http {

// Request targets (path and query) longer than this are answered 414.
constexpr size_t kMaxTargetBytes = 8192;
// Transaction keys longer than this are refused before the store is asked.
constexpr size_t kMaxKeyBytes = 256;

struct Request {
  enum class Method { kGet, kHead, kOther };
  Method method = Method::kGet;
  std::string_view path;                // as sent, undecoded
  std::string_view query;               // the raw bytes after '?'; empty when there are none
  size_t target_size = 0;               // the whole request target's length
  const char *authorization = nullptr;  // the Authorization header; null when absent
};

struct Response {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // beyond Content-Length
  std::string body;
  // A page file's bytes, served in place of body; they live as long as the program.
  const unsigned char *static_body = nullptr;
  size_t static_size = 0;
};

class Router {
 public:
  // reader may be null (no --store): the API's store routes then answer 503. An empty token
  // lets every request through; otherwise each must carry it as a bearer token.
  Router(store::TransactionReader *reader, std::string token)
      : reader_(reader), token_(std::move(token)) {}

  // Never throws: a failure while answering gives a 500 with a JSON error.
  Response answer(const Request &request) const;

 private:
  Response route(const Request &request) const;
  Response search(std::string_view query) const;
  // A detail (paged when the query asks), or with "/events" after the key, a page of events.
  Response transaction(std::string_view rest, std::string_view query) const;
  Response clients() const;

  store::TransactionReader *reader_;
  std::string token_;
};

// The reason phrase for a status this server answers with ("Not Found").
const char *reason_phrase(int status);

}  // namespace http
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_HTTP_ROUTER_H
