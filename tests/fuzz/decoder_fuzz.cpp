// Feeds arbitrary bytes to the stream decoder in two ways: at once and in chunks chosen by
// the input itself. Both must agree, and no input may crash or read out of bounds. The quick,
// allocation-free check must agree with the full decoder on every message, valid or not, and
// report the same fields.
#include <cstdlib>
#include <vector>

#include "tools/collector/decoding/decoder.h"

namespace {

using veska::wire::DecodeError;
using veska::wire::Message;
using veska::wire::MessageKind;
using veska::wire::MessageView;

bool _same_fields(const MessageView &view, const Message &m) {
  if (view.kind != m.kind || view.offset != m.offset || view.length != m.length) return false;
  switch (m.kind) {
    case MessageKind::kEvent: {
      const auto &e = m.event;
      if (view.type != e.type || view.blocked != e.blocked || view.presence != e.presence ||
          view.seconds != e.seconds || view.microseconds != e.microseconds ||
          (view.transaction_id != nullptr) != e.instance.has_value()) {
        return false;
      }
      return !e.instance || veska::wire::Bytes(view.transaction_id,
                                               view.transaction_id + view.transaction_id_length) ==
                                e.instance->transaction_id;
    }
    case MessageKind::kStatistics:
      return view.events_dropped == m.statistics.events_dropped &&
             view.connections_made == m.statistics.connections_made;
    case MessageKind::kHeartbeat:
      return view.seconds == m.heartbeat.seconds;
    default:
      return true;
  }
}

// The quick check of data[0, size) as one message gives the full decoder's verdict and fields.
void _check_agrees(const unsigned char *data, size_t size, size_t offset) {
  MessageView view;
  Message full;
  DecodeError error;
  const bool quick = veska::wire::check_message(data, size, offset, &view);
  if (quick != veska::wire::decode_message(data, size, offset, &full, &error)) abort();
  if (quick && (view.data != data || !_same_fields(view, full))) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, unsigned long size) {
  using veska::wire::StreamDecoder;

  StreamDecoder whole;
  std::vector<Message> at_once;
  whole.feed(data, size, &at_once);
  whole.finish();

  StreamDecoder pieces;
  std::vector<Message> chunked;
  const size_t step = size != 0 ? 1 + data[0] % 13 : 1;
  for (size_t at = 0; at < size; at += step) {
    pieces.feed(data + at, step < size - at ? step : size - at, &chunked);
  }
  pieces.finish();

  if (at_once.size() != chunked.size() || whole.consumed() != pieces.consumed() ||
      whole.error().has_value() != pieces.error().has_value() ||
      (whole.error() && whole.error()->offset != pieces.error()->offset)) {
    abort();
  }

  _check_agrees(data, size, 0);
  for (const Message &m : at_once) _check_agrees(data + m.offset, m.length, m.offset);
  return 0;
}
