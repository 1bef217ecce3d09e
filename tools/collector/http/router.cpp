// Routing and answering HTTP requests.
#include "tools/collector/http/router.h"

#include <exception>
#include <nlohmann/json.hpp>

#include "tools/collector/http/bearer_token.h"
#include "tools/collector/http/event_page_query.h"
#include "tools/collector/http/metrics_text.h"
#include "tools/collector/http/query_parser.h"
#include "tools/collector/metrics/metrics.h"
#include "tools/collector/web/assets.h"

namespace veska {
namespace http {
namespace {

using Json = nlohmann::ordered_json;
using store::ReadStatus;

const char kJsonType[] = "application/json; charset=utf-8";
const char kTransactionsPath[] = "/api/transactions";

// Event bytes and request bytes are arbitrary: invalid UTF-8 is written as U+FFFD rather than
// failing the whole answer.
std::string _dump(const Json &document) {
  return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Response _json(int status, const Json &document) {
  Response response;
  response.status = status;
  response.headers.emplace_back("Content-Type", kJsonType);
  response.headers.emplace_back("Cache-Control", "no-store");
  response.body = _dump(document);
  response.body += '\n';
  return response;
}

Response _error(int status, const std::string &message) {
  Json document = Json::object();
  document["error"] = message;
  return _json(status, document);
}

Response _from_reader(ReadStatus status, const Json &answer, const std::string &error) {
  switch (status) {
    case ReadStatus::kOk:
      return _json(200, answer);
    case ReadStatus::kNotFound:
      return _error(404, error.empty() ? "no such transaction" : error);
    case ReadStatus::kBadRequest:
      return _error(400, error.empty() ? "bad request" : error);
    case ReadStatus::kTimedOut:
      return _error(503, error.empty() ? "the store took too long to answer" : error);
    case ReadStatus::kFailed:
      break;
  }
  return _error(500, "the store could not answer" + (error.empty() ? "" : ": " + error));
}

Response _no_store() {
  return _error(503, "this collector keeps no transaction store (start it with --store FILE)");
}

Response _asset(const web::Asset &asset) {
  Response response;
  response.headers.emplace_back("Content-Type", asset.content_type);
  response.headers.emplace_back("Content-Security-Policy", web::kContentSecurityPolicy);
  response.headers.emplace_back("Cache-Control", "no-cache");
  response.static_body = asset.data;
  response.static_size = asset.size;
  return response;
}

bool _starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

const char *reason_phrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 414:
      return "URI Too Long";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

Response Router::answer(const Request &request) const {
  Response response;
  try {
    response = route(request);
  } catch (const std::exception &failure) {
    response = _error(500, std::string("the collector could not answer: ") + failure.what());
  } catch (...) {
    response = _error(500, "the collector could not answer");
  }
  // Nothing this server sends is to be read as another type than the one it says.
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  return response;
}

Response Router::route(const Request &request) const {
  if (request.target_size > kMaxTargetBytes) {
    return _error(
        414, "the request target is longer than " + std::to_string(kMaxTargetBytes) + " bytes");
  }
  // The token is checked before anything else is looked at, so that without it nothing about
  // the server (not even which paths exist) can be learnt.
  if (!token_.empty() && !bearer_matches(request.authorization, token_)) {
    Response response = _error(401, "this collector requires an Authorization: Bearer token");
    response.headers.emplace_back("WWW-Authenticate", "Bearer");
    return response;
  }
  if (request.method == Request::Method::kOther) {
    Response response = _error(405, "this server is read-only: only GET and HEAD are allowed");
    response.headers.emplace_back("Allow", "GET, HEAD");
    return response;
  }
  const std::string_view path = request.path;
  if (path == kTransactionsPath) return search(request.query);
  if (_starts_with(path, std::string(kTransactionsPath) + "/")) {
    // Past the path and its '/'.
    return transaction(path.substr(sizeof kTransactionsPath), request.query);
  }
  if (path == "/api/clients") return clients();
  if (path == "/metrics") {
    Response response;
    response.headers.emplace_back("Content-Type", kMetricsContentType);
    response.headers.emplace_back("Cache-Control", "no-store");
    response.body = render_metrics(collector::metrics());
    return response;
  }
  if (!_starts_with(path, "/api/") && path != "/api") {
    const web::Asset *asset = web::find_asset(std::string(path));
    if (asset != nullptr) return _asset(*asset);
  }
  return _error(404, "not found");
}

Response Router::search(std::string_view query) const {
  store::TransactionQuery parsed;
  std::string error;
  if (!parse_transaction_query(query, &parsed, &error)) return _error(400, error);
  if (reader_ == nullptr) return _no_store();
  Json answer;
  const ReadStatus status = reader_->search(parsed, &answer, &error);
  return _from_reader(status, answer, error);
}

Response Router::transaction(std::string_view rest, std::string_view query) const {
  // No key holds a '/', so a path that ends in "/events" asks for a page of events.
  const std::string_view events_suffix = "/events";
  const bool events_only = rest.size() > events_suffix.size() &&
                           rest.substr(rest.size() - events_suffix.size()) == events_suffix;
  const std::string_view encoded_key =
      events_only ? rest.substr(0, rest.size() - events_suffix.size()) : rest;
  std::string key;
  if (!decode_component(encoded_key, false, &key)) {
    return _error(400, "the key holds a '%' that is not followed by two hexadecimal digits");
  }
  if (key.empty()) return _error(404, "not found");
  if (key.size() > kMaxKeyBytes) {
    return _error(400, "a key is at most " + std::to_string(kMaxKeyBytes) + " bytes");
  }
  bool paged = false;
  store::EventPage page;
  std::string error;
  const EventPageQuery names = events_only ? EventPageQuery{"from", "limit", true}
                                           : EventPageQuery{"events_from", "events_limit", false};
  if (!parse_event_page(query, names, &paged, &page, &error)) return _error(400, error);
  if (reader_ == nullptr) return _no_store();
  if (events_only || paged) {
    std::string json;
    const ReadStatus status = events_only ? reader_->events_page(key, page, &json, &error)
                                          : reader_->transaction_page(key, page, &json, &error);
    if (status != ReadStatus::kOk) return _from_reader(status, Json(), error);
    Response response = _json(200, Json::object());
    response.body = std::move(json);
    response.body += '\n';
    return response;
  }
  Json answer;
  const ReadStatus status = reader_->transaction(key, &answer, &error);
  return _from_reader(status, answer, error);
}

Response Router::clients() const {
  if (reader_ == nullptr) return _no_store();
  Json answer;
  std::string error;
  const ReadStatus status = reader_->clients(&answer, &error);
  return _from_reader(status, answer, error);
}

}  // namespace http
}  // namespace veska
