// Reads the query string of GET /api/transactions into a store::TransactionQuery: form
// decoding (%XX and '+'), repeated data= and stitch= pairs, and the bounds on what one request
// may ask for. Whatever a browser sends, it costs at most a few kilobytes and one pass.
#ifndef VESKA_TOOLS_COLLECTOR_HTTP_QUERY_PARSER_H
#define VESKA_TOOLS_COLLECTOR_HTTP_QUERY_PARSER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/collector/store/transaction_reader.h"

namespace veska {
namespace http {

constexpr size_t kMaxQueryBytes = 8192;    // the raw query string
constexpr size_t kMaxParameters = 64;      // name=value segments
constexpr size_t kMaxValueBytes = 1024;    // one decoded name or value
constexpr size_t kMaxNameValuePairs = 16;  // data= and stitch= together
constexpr uint32_t kDefaultLimit = 50;
constexpr uint32_t kMaxLimit = 1000;  // larger limits are lowered to this, not refused

// Parses `query`, the raw bytes after '?'. On success fills *out (which starts from the
// defaults) and returns true; otherwise returns false with the reason for the 400 answer in
// *error, naming the parameter at fault. An empty value counts as an absent parameter, so a
// form's untouched fields filter nothing. Decoded strings are passed on as raw bytes.
bool parse_transaction_query(std::string_view query, store::TransactionQuery *out,
                             std::string *error);

// Decodes one form-encoded component into *out: "%41" gives 'A' and, when plus_is_space, '+'
// gives ' '. False for a '%' not followed by two hexadecimal digits.
bool decode_component(std::string_view in, bool plus_is_space, std::string *out);

}  // namespace http
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_HTTP_QUERY_PARSER_H
