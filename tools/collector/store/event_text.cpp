// An event's detail object as text. The JSON line renderer writes exactly what a document's dump
// gives for the same record, and its keys never include "client" or "time_us", so the object a
// detail holds is the line with those two members added at its end. Non-ASCII text is left to
// the document path, which replaces invalid UTF-8 as every answer does.
#include "tools/collector/store/event_text.h"

#include <charconv>

#include "tools/collector/decoding/decoder.h"
#include "tools/collector/outputs/output.h"

namespace veska {
namespace store {

namespace {

bool _plain_ascii(const char *text, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

}  // namespace

bool append_event_text(const StoredEventRow &row, std::string *out) {
  wire::MessageView view;
  const uint8_t *data = reinterpret_cast<const uint8_t *>(row.message.data());
  if (row.stream_offset < 0 ||
      !wire::check_message(data, row.message.size(), static_cast<size_t>(row.stream_offset),
                           &view)) {
    return false;
  }
  const size_t start = out->size();
  collector::render_json_line(view, row.connection, row.peer, out);
  // The line ends in "}\n"; the peer, already escaped inside it, is written again as "client".
  if (out->size() < start + 2 || !_plain_ascii(out->data() + start, out->size() - start)) {
    out->resize(start);
    return false;
  }
  out->resize(out->size() - 2);
  const size_t peer_key = out->find(",\"peer\":", start);
  const size_t peer_end = out->find(",\"kind\":", start);
  if (peer_key == std::string::npos || peer_end == std::string::npos || peer_end < peer_key) {
    out->resize(start);
    return false;
  }
  const std::string peer_text = out->substr(peer_key + 8, peer_end - peer_key - 8);
  out->append(",\"client\":");
  out->append(peer_text);
  out->append(",\"time_us\":");
  char digits[24];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, row.time_us);
  out->append(digits, written.ptr);
  out->push_back('}');
  return true;
}

}  // namespace store
}  // namespace veska
