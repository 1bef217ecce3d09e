// Feeds arbitrary bytes to the stream decoder in two ways: at once and in chunks chosen by
// the input itself. Both must agree, and no input may crash or read out of bounds.
#include <cstdlib>
#include <vector>

#include "tools/collector/decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, unsigned long size) {
  using veska::wire::Message;
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
  return 0;
}
