// Query-string parsing for the transaction search.
#include "tools/collector/http/query_parser.h"

#include <optional>
#include <vector>

namespace veska {
namespace http {
namespace {

using store::TransactionQuery;

// Names echoed in error messages are shortened: the answer stays small whatever was sent.
constexpr size_t kEchoedNameBytes = 64;

int _hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string _quoted(const std::string &name) {
  if (name.size() <= kEchoedNameBytes) return "'" + name + "'";
  return "'" + name.substr(0, kEchoedNameBytes) + "...'";
}

// Non-negative decimal integers only: "", "-1", "1e3" and "0x10" are not numbers here.
bool _parse_int64(const std::string &text, int64_t *value) {
  if (text.empty()) return false;
  int64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    if (result > (INT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

// A limit of any size is a number; past kMaxLimit it is lowered, so digits beyond what fits
// are never converted.
bool _parse_limit(const std::string &text, uint32_t *limit) {
  if (text.empty()) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (result <= kMaxLimit) result = result * 10 + static_cast<uint64_t>(c - '0');
  }
  if (result == 0) return false;
  *limit = result > kMaxLimit ? kMaxLimit : static_cast<uint32_t>(result);
  return true;
}

class Parser {
 public:
  Parser(TransactionQuery *out, std::string *error) : out_(out), error_(error) {}

  bool parameter(const std::string &name, const std::string &value) {
    if (name == "data" || name == "stitch") return pair(name, value);
    if (value.empty()) return true;
    if (name == "id") return text(name, value, &out_->id);
    if (name == "id_prefix") return text(name, value, &out_->id_prefix);
    if (name == "client") return text(name, value, &out_->client);
    if (name == "outcome") return outcome(value);
    if (name == "min_duration_us") return number(name, value, &out_->min_duration_us);
    if (name == "max_duration_us") return number(name, value, &out_->max_duration_us);
    if (name == "from_us") return number(name, value, &out_->from_us);
    if (name == "to_us") return number(name, value, &out_->to_us);
    if (name == "stuck") return choice(name, value, "1", "true", "0", "false", &out_->stuck_only);
    if (name == "sort") {
      return choice(name, value, "duration", "duration", "start", "start", &out_->sort_by_duration);
    }
    if (name == "order") return choice(name, value, "asc", "asc", "desc", "desc", &out_->ascending);
    if (name == "limit") return limit(value);
    if (name == "cursor") return cursor(value);
    return fail("unknown parameter " + _quoted(name));
  }

 private:
  bool fail(const std::string &message) {
    *error_ = message;
    return false;
  }

  // Single-valued parameters may be given once: a second value is more likely a mistake in a
  // hand-written URL than a wish for the last one.
  bool once(const std::string &name) {
    if (seen_.find("," + name + ",") != std::string::npos) {
      return fail("parameter " + _quoted(name) + " is given more than once");
    }
    seen_ += "," + name + ",";
    return true;
  }

  bool text(const std::string &name, const std::string &value, std::optional<std::string> *field) {
    if (!once(name)) return false;
    *field = value;
    return true;
  }

  bool number(const std::string &name, const std::string &value, std::optional<int64_t> *field) {
    if (!once(name)) return false;
    int64_t parsed = 0;
    if (!_parse_int64(value, &parsed)) {
      return fail("parameter " + _quoted(name) + " must be a whole number of microseconds");
    }
    *field = parsed;
    return true;
  }

  bool choice(const std::string &name, const std::string &value, const char *yes,
              const char *also_yes, const char *no, const char *also_no, bool *field) {
    if (!once(name)) return false;
    if (value == yes || value == also_yes) {
      *field = true;
    } else if (value == no || value == also_no) {
      *field = false;
    } else {
      return fail("parameter " + _quoted(name) + " must be " + (std::string(yes) + " or ") + no);
    }
    return true;
  }

  bool outcome(const std::string &value) {
    if (!once("outcome")) return false;
    for (const char *known : {"commit", "rollback", "finished", "open", "stuck"}) {
      if (value == known) {
        out_->outcome = value;
        return true;
      }
    }
    return fail("parameter 'outcome' must be commit, rollback, finished, open or stuck");
  }

  bool limit(const std::string &value) {
    if (!once("limit")) return false;
    if (!_parse_limit(value, &out_->limit)) {
      return fail("parameter 'limit' must be a whole number from 1 (at most " +
                  std::to_string(kMaxLimit) + " are returned)");
    }
    return true;
  }

  bool cursor(const std::string &value) {
    if (!once("cursor")) return false;
    out_->cursor = value;
    return true;
  }

  bool pair(const std::string &name, const std::string &value) {
    if (++pairs_ > kMaxNameValuePairs) {
      return fail("at most " + std::to_string(kMaxNameValuePairs) +
                  " data and stitch parameters are allowed");
    }
    const size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0) {
      return fail("parameter " + _quoted(name) + " must be NAME:VALUE");
    }
    std::vector<TransactionQuery::NameValue> &list = name == "data" ? out_->data : out_->stitch;
    list.push_back({value.substr(0, colon), value.substr(colon + 1)});
    return true;
  }

  TransactionQuery *out_;
  std::string *error_;
  std::string seen_;  // ",name," for every single-valued parameter already given
  size_t pairs_ = 0;
};

}  // namespace

bool decode_component(std::string_view in, bool plus_is_space, std::string *out) {
  out->clear();
  out->reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '+' && plus_is_space) {
      out->push_back(' ');
    } else if (c != '%') {
      out->push_back(c);
    } else {
      if (i + 2 >= in.size()) return false;
      const int high = _hex_digit(in[i + 1]);
      const int low = _hex_digit(in[i + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    }
  }
  return true;
}

bool parse_transaction_query(std::string_view query, store::TransactionQuery *out,
                             std::string *error) {
  *out = store::TransactionQuery();
  if (query.size() > kMaxQueryBytes) {
    *error = "the query string is longer than " + std::to_string(kMaxQueryBytes) + " bytes";
    return false;
  }
  Parser parser(out, error);
  size_t segments = 0;
  std::string name;
  std::string value;
  while (!query.empty()) {
    const size_t end = query.find('&');
    const std::string_view segment = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    if (segment.empty()) continue;
    if (++segments > kMaxParameters) {
      *error = "at most " + std::to_string(kMaxParameters) + " parameters are allowed";
      return false;
    }
    const size_t equals = segment.find('=');
    const std::string_view raw_name = segment.substr(0, equals);
    const std::string_view raw_value =
        equals == std::string_view::npos ? std::string_view() : segment.substr(equals + 1);
    if (!decode_component(raw_name, true, &name) || !decode_component(raw_value, true, &value)) {
      *error = "a parameter holds a '%' that is not followed by two hexadecimal digits";
      return false;
    }
    if (name.size() > kMaxValueBytes || value.size() > kMaxValueBytes) {
      *error = "a parameter is longer than " + std::to_string(kMaxValueBytes) + " bytes";
      return false;
    }
    if (!parser.parameter(name, value)) return false;
  }
  return true;
}

}  // namespace http
}  // namespace veska
