// Renders decoded messages as the collector's JSON lines straight from the wire bytes. The
// text is exactly what nlohmann::ordered_json::dump gives for the same record (compact, keys in
// a fixed order), without building a JSON object per message.
#include "tools/collector/outputs/json_lines.h"

#include <errno.h>

#include <charconv>
#include <cstring>

#include "types.h"

namespace veska {
namespace collector {

namespace {

constexpr size_t kHeaderSize = 4;
constexpr size_t kEventFixedPayload = 12;
constexpr size_t kOutputBuffer = 1 << 20;

void _append_uint(std::string *out, uint64_t value) {
  char digits[24];
  const std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, value);
  out->append(digits, result.ptr);
}

// A JSON string with the escapes nlohmann's dump uses.
void _append_string(std::string *out, const char *text, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (size_t i = 0; i < size; ++i) {
    // Runs of characters that need no escape go in whole.
    size_t run = i;
    while (run < size && static_cast<unsigned char>(text[run]) >= 0x20 && text[run] != '"' &&
           text[run] != '\\') {
      ++run;
    }
    if (run != i) {
      out->append(text + i, run - i);
      i = run;
      if (i == size) break;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\f':
        out->append("\\f");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (c < 0x20) {
          const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
          out->append(escape, sizeof escape);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
  out->push_back('"');
}
void _append_string(std::string *out, const std::string &text) {
  _append_string(out, text.data(), text.size());
}

// Bytes as a string when every byte is printable ASCII, otherwise {"hex":"..."}.
void _append_bytes(std::string *out, const uint8_t *data, size_t size) {
  bool printable = true;
  for (size_t i = 0; i < size && printable; ++i) printable = data[i] >= 0x20 && data[i] <= 0x7E;
  if (printable) {
    _append_string(out, reinterpret_cast<const char *>(data), size);
    return;
  }
  static const char kDigits[] = "0123456789abcdef";
  out->append("{\"hex\":\"");
  for (size_t i = 0; i < size; ++i) {
    out->push_back(kDigits[data[i] >> 4]);
    out->push_back(kDigits[data[i] & 0x0F]);
  }
  out->append("\"}");
}

// The message was checked whole before it got here, so the walks below stay inside it.
class _Walker {
 public:
  explicit _Walker(const uint8_t *at) : at_(at) {}
  uint8_t u8() { return *at_++; }
  uint16_t u16() {
    const uint16_t value = static_cast<uint16_t>((at_[0] << 8) | at_[1]);
    at_ += 2;
    return value;
  }
  const uint8_t *take(size_t size) {
    const uint8_t *start = at_;
    at_ += size;
    return start;
  }

 private:
  const uint8_t *at_;
};

void _append_list(std::string *out, _Walker *walk) {
  const size_t count = walk->u8();
  const uint8_t *descriptor = walk->take(3 * count);
  out->push_back('[');
  for (size_t i = 0; i < count; ++i, descriptor += 3) {
    const size_t name_size = descriptor[0];
    const size_t value_size = static_cast<size_t>((descriptor[1] << 8) | descriptor[2]);
    if (i != 0) out->push_back(',');
    out->append("{\"name\":");
    _append_bytes(out, walk->take(name_size), name_size);
    out->append(",\"value\":");
    _append_bytes(out, walk->take(value_size), value_size);
    out->push_back('}');
  }
  out->push_back(']');
}

void _append_association(std::string *out, const char *key, _Walker *walk) {
  out->append(key);
  out->append("{\"caller_type\":");
  _append_uint(out, walk->u8());
  const size_t link_size = walk->u8();
  out->append(",\"link_id\":");
  _append_bytes(out, walk->take(link_size), link_size);
  out->append(",\"stitch_ids\":");
  _append_list(out, walk);
  out->push_back('}');
}

// The names of the event types, looked up once; null for a number without a name.
const char *_event_type_name(uint16_t type) {
  static const struct Names {
    const char *name[16];
    Names() {
      for (unsigned i = 0; i < 16; ++i) {
        const char *text = QIVA_get_event_name(static_cast<qiva_event_type_t>(i));
        name[i] = text != nullptr && strcmp(text, "<unknown>") != 0 ? text : nullptr;
      }
    }
  } names;
  return type < 16 ? names.name[type] : nullptr;
}

void _append_event(std::string *out, const wire::MessageView &message) {
  out->append(",\"length\":");
  _append_uint(out, message.length);
  out->append(",\"type\":");
  _append_uint(out, message.type);
  out->append(",\"type_name\":");
  const char *name = _event_type_name(message.type);
  if (name != nullptr) {
    _append_string(out, name, strlen(name));
  } else {
    out->append("null");
  }
  out->append(message.blocked ? ",\"blocked\":true" : ",\"blocked\":false");
  out->append(",\"seconds\":");
  _append_uint(out, message.seconds);
  out->append(",\"microseconds\":");
  _append_uint(out, message.microseconds);
  _Walker walk(message.data + kHeaderSize + kEventFixedPayload);
  if (message.presence & 0x01) {
    const size_t id_size = walk.u16();
    out->append(",\"instance\":{\"transaction_id\":");
    _append_bytes(out, walk.take(id_size), id_size);
    out->append(",\"transaction_data\":");
    _append_list(out, &walk);
    out->push_back('}');
  }
  if (message.presence & 0x02) _append_association(out, ",\"horizontal\":", &walk);
  if (message.presence & 0x04) _append_association(out, ",\"vertical\":", &walk);
  if (message.presence & 0x08) {
    out->append(",\"horizontal_context\":");
    _append_list(out, &walk);
  }
  if (message.presence & 0x10) {
    out->append(",\"vertical_context\":");
    _append_list(out, &walk);
  }
}

void _append_record_start(std::string *out, uint64_t connection, const std::string &peer,
                          const char *kind, size_t offset) {
  out->append("{\"connection\":");
  _append_uint(out, connection);
  out->append(",\"peer\":");
  _append_string(out, peer);
  out->append(",\"kind\":\"");
  out->append(kind);
  out->append("\",\"offset\":");
  _append_uint(out, offset);
}

}  // namespace

void render_json_line(const wire::MessageView &message, uint64_t connection,
                      const std::string &peer, std::string *line) {
  _append_record_start(line, connection, peer, wire::message_kind_name(message.kind),
                       message.offset);
  switch (message.kind) {
    case wire::MessageKind::kRegister:
      break;
    case wire::MessageKind::kEvent:
      _append_event(line, message);
      break;
    case wire::MessageKind::kStatistics:
      line->append(",\"events_dropped\":");
      _append_uint(line, message.events_dropped);
      line->append(",\"connections_made\":");
      _append_uint(line, message.connections_made);
      break;
    case wire::MessageKind::kHeartbeat:
      line->append(",\"seconds\":");
      _append_uint(line, message.seconds);
      break;
  }
  line->append("}\n");
}

void render_protocol_error_line(uint64_t connection, const std::string &peer,
                                const wire::DecodeError &error, std::string *line) {
  _append_record_start(line, connection, peer, "protocol_error", error.offset);
  line->append(",\"reason\":");
  _append_string(line, error.reason);
  line->append("}\n");
}

void Delivery::render_json(std::string *line) const {
  render_json_line(message_, connection_, peer_, line);
}

JsonLinesOutput::JsonLinesOutput(FILE *file) : file_(file) {
  // Lines are flushed by flush(), once per turn of the loop, not one by one.
  setvbuf(file_, nullptr, _IOFBF, kOutputBuffer);
  line_.reserve(4096);
}

void JsonLinesOutput::set_file(FILE *file) {
  flush();
  file_ = file;
  setvbuf(file_, nullptr, _IOFBF, kOutputBuffer);
}

void JsonLinesOutput::deliver(const Delivery &message) {
  message.render_json(&line_);
  write_line();
}

void JsonLinesOutput::protocol_error(uint64_t connection, const std::string &peer,
                                     const wire::DecodeError &error) {
  render_protocol_error_line(connection, peer, error, &line_);
  write_line();
}

void JsonLinesOutput::write_line() {
  ++unflushed_;
  if (fwrite(line_.data(), 1, line_.size(), file_) != line_.size()) _failure();
  line_.clear();
}

void JsonLinesOutput::flush() {
  if (unflushed_ == 0) return;
  if (fflush(file_) != 0) {
    _failure();
  } else {
    unflushed_ = 0;
  }
}

void JsonLinesOutput::finish(double) { flush(); }

// A full disk or a closed pipe: the lines since the last good flush are counted as lost, not
// lost silently, and the stream's error state is cleared so that a later write may succeed.
void JsonLinesOutput::_failure() {
  const int reason = errno;
  failed_ += unflushed_;
  unflushed_ = 0;
  clearerr(file_);
  if (!failure_reported_) {
    failure_reported_ = true;
    fprintf(stderr, "veska-collector: cannot write the JSON lines: %s\n", strerror(reason));
  }
}

void JsonLinesOutput::summarise(nlohmann::ordered_json *summary) {
  if (failed_ == 0) return;
  nlohmann::ordered_json counts = nlohmann::ordered_json::object();
  counts["failed"] = failed_;
  (*summary)["json_lines"] = counts;
}

}  // namespace collector
}  // namespace veska
