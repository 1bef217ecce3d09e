// The strict stream decoder: framing, truncation, corruption with its offsets, and chunking.
#include "tools/collector/decoding/decoder.h"

#include <gtest/gtest.h>

#include <random>

#include "support/event_builder.h"

namespace {

using veska::wire::DecodeError;
using veska::wire::Message;
using veska::wire::MessageKind;
using veska::wire::StreamDecoder;
using veska_test::Bytes;
using veska_test::EventBuilder;

void append(Bytes *stream, const Bytes &message) {
  stream->insert(stream->end(), message.begin(), message.end());
}

// The HERE example event: 32 bytes.
Bytes here_event() {
  EventBuilder b;
  veska_test::fill_here_example(b);
  return b.serialise();
}

Bytes context_event() {
  EventBuilder b;
  qiva_event_t &e = b.event();
  e.type = 4;
  e.blocked = 1;
  e.timestamp = {77, 88};
  b.link_id(&e.horizontal_id, {9});
  e.horizontal_id.stitch_ids = b.list({{"s", {1, 2, 3}}, {"", {}}});
  e.horizontal_context = b.list({{"hc", {4}}});
  e.vertical_context = b.list({{"vc", {5, 6}}});
  return b.serialise();
}

// Register (0), statistics (6), heartbeat (16), HERE event (26), context event (58).
struct Stream {
  Bytes bytes;
  std::vector<size_t> starts;
};

Stream valid_stream() {
  Stream s;
  unsigned char fixed[10];
  auto add = [&](const Bytes &m) {
    s.starts.push_back(s.bytes.size());
    append(&s.bytes, m);
  };
  VE_serialise_register_message(fixed);
  add(Bytes(fixed, fixed + 6));
  VE_statistics_counter_reset(VE_STATS_EVENTS_DROPPED);
  VE_statistics_counter_increment(VE_STATS_EVENTS_DROPPED);
  VE_serialise_statistics_message(fixed);
  add(Bytes(fixed, fixed + 10));
  ve_time_t t = {123456, 0};
  VE_serialise_heartbeat_message(fixed, &t);
  add(Bytes(fixed, fixed + 10));
  add(here_event());
  add(context_event());
  return s;
}

std::vector<Message> decode_all(const Bytes &b, size_t chunk, DecodeError *error = nullptr) {
  StreamDecoder d;
  std::vector<Message> out;
  for (size_t i = 0; i < b.size(); i += chunk) {
    d.feed(b.data() + i, std::min(chunk, b.size() - i), &out);
  }
  d.finish();
  if (error != nullptr && d.error()) *error = *d.error();
  EXPECT_EQ(!d.error().has_value(), true) << d.error()->offset << ": " << d.error()->reason;
  return out;
}

TEST(Decoder, ValidStreamAtOnceAndByteByByte) {
  const Stream s = valid_stream();
  const std::vector<Message> whole = decode_all(s.bytes, s.bytes.size());
  ASSERT_EQ(whole.size(), 5u);
  const MessageKind kinds[] = {MessageKind::kRegister, MessageKind::kStatistics,
                               MessageKind::kHeartbeat, MessageKind::kEvent, MessageKind::kEvent};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(whole[i].kind, kinds[i]);
    EXPECT_EQ(whole[i].offset, s.starts[i]);
  }
  EXPECT_EQ(whole[1].statistics.events_dropped, 1u);
  EXPECT_EQ(whole[2].heartbeat.seconds, 123456u);
  const auto &ev = whole[4].event;
  EXPECT_EQ(ev.type, 4);
  EXPECT_TRUE(ev.blocked);
  ASSERT_TRUE(ev.horizontal);
  ASSERT_EQ(ev.horizontal->stitch_ids.size(), 2u);
  EXPECT_EQ(ev.horizontal->stitch_ids[0].value, (Bytes{1, 2, 3}));
  EXPECT_EQ(ev.horizontal_context->at(0).name, "hc");
  EXPECT_EQ(ev.vertical_context->at(0).value, (Bytes{5, 6}));

  for (size_t chunk : {1u, 3u, 7u}) {
    const std::vector<Message> pieces = decode_all(s.bytes, chunk);
    ASSERT_EQ(pieces.size(), whole.size());
    for (size_t i = 0; i < whole.size(); ++i) {
      EXPECT_EQ(pieces[i].kind, whole[i].kind);
      EXPECT_EQ(pieces[i].offset, whole[i].offset);
      EXPECT_EQ(pieces[i].length, whole[i].length);
      EXPECT_TRUE(pieces[i].event == whole[i].event);
    }
  }
}

TEST(Decoder, EveryTruncationIsReportedAtFinish) {
  const Stream s = valid_stream();
  for (size_t cut = 0; cut < s.bytes.size(); ++cut) {
    StreamDecoder d;
    std::vector<Message> out;
    EXPECT_TRUE(d.feed(s.bytes.data(), cut, &out));
    // Messages before the cut decode; the one it falls into is a truncation at its start.
    size_t whole = 0;
    while (whole + 1 < s.starts.size() && s.starts[whole + 1] <= cut) ++whole;
    if (cut == s.starts[whole]) {
      EXPECT_TRUE(d.finish()) << cut;
      EXPECT_EQ(out.size(), whole);
    } else {
      EXPECT_FALSE(d.finish()) << cut;
      ASSERT_TRUE(d.error());
      EXPECT_EQ(d.error()->offset, s.starts[whole]) << cut;
      EXPECT_EQ(out.size(), whole);
    }
  }
}

// Corrupts one byte of the valid stream and returns the decoder's error.
DecodeError corrupt(size_t at, uint8_t value, Bytes tail = {}) {
  Bytes b = valid_stream().bytes;
  b[at] = value;
  append(&b, tail);
  StreamDecoder d;
  std::vector<Message> out;
  d.feed(b.data(), b.size(), &out);
  d.finish();
  EXPECT_TRUE(d.error()) << "corrupting byte " << at;
  return d.error().value_or(DecodeError{~size_t{0}, "no error"});
}

TEST(Decoder, CorruptHeadersAndFixedMessages) {
  EXPECT_EQ(corrupt(6, 7).offset, 6u);     // unknown type
  EXPECT_EQ(corrupt(1, 1).offset, 1u);     // register version
  EXPECT_EQ(corrupt(3, 3).offset, 2u);     // register payload length
  EXPECT_EQ(corrupt(5, 1).offset, 4u);     // register zero field
  EXPECT_EQ(corrupt(17, 2).offset, 17u);   // type 2 version 2
  EXPECT_EQ(corrupt(9, 7).offset, 8u);     // statistics payload length
  EXPECT_EQ(corrupt(25, 1).offset, 24u);   // heartbeat zero field
  EXPECT_EQ(corrupt(27, 1).offset, 27u);   // event version
  EXPECT_EQ(corrupt(29, 11).offset, 28u);  // event payload below 12
  DecodeError e = corrupt(6, 0xFF);
  EXPECT_EQ(e.reason, "unknown message type 255");
}

TEST(Decoder, CorruptEventBody) {
  // The HERE event starts at 26: word 30, flags 32, instance 42, data list count 47,
  // descriptor 48, vertical section 53, its stitch count 57.
  EXPECT_EQ(corrupt(31, 10).offset, 30u);    // type 10
  EXPECT_EQ(corrupt(30, 0x40).offset, 30u);  // word bit 14
  EXPECT_EQ(corrupt(32, 0x01).offset, 32u);  // presence bit 8
  EXPECT_EQ(corrupt(33, 0x25).offset, 32u);  // presence bit 5
  EXPECT_EQ(corrupt(42, 0x01).offset, 42u);  // transaction id runs past
  EXPECT_EQ(corrupt(47, 5).offset, 47u);     // descriptor table runs past
  EXPECT_EQ(corrupt(50, 0x10).offset, 48u);  // item value runs past
  EXPECT_EQ(corrupt(54, 9).offset, 54u);     // link id runs past
  // Payload one byte longer than the content: the spare byte is reported.
  EXPECT_EQ(corrupt(29, 0x1D, {0x00}).offset, 58u);
  // One byte shorter: the last stitch count is missing.
  DecodeError shorter = corrupt(29, 0x1B);
  EXPECT_EQ(shorter.offset, 57u);
}

TEST(Decoder, WholeMessageSizeMustMatch) {
  const Bytes here = here_event();
  Message m;
  DecodeError e;
  Bytes longer = here;
  longer.push_back(0);
  EXPECT_FALSE(veska::wire::decode_message(longer.data(), longer.size(), 100, &m, &e));
  EXPECT_EQ(e.offset, 132u);
  EXPECT_FALSE(veska::wire::decode_message(here.data(), here.size() - 1, 100, &m, &e));
  EXPECT_EQ(e.offset, 100u);
  EXPECT_FALSE(veska::wire::decode_message(here.data(), 3, 0, &m, &e));
  EXPECT_TRUE(veska::wire::decode_message(here.data(), here.size(), 0, &m, &e));
}

TEST(Decoder, ErrorIsSticky) {
  Bytes b = {0x05, 0x00, 0x00, 0x00};
  const Bytes ok = valid_stream().bytes;
  StreamDecoder d;
  std::vector<Message> out;
  EXPECT_FALSE(d.feed(b.data(), b.size(), &out));
  EXPECT_FALSE(d.feed(ok.data(), ok.size(), &out));
  EXPECT_FALSE(d.finish());
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(d.error()->offset, 0u);
}

TEST(Decoder, ArbitraryBytesNeverCrash) {
  // Random mutations of a valid stream and plain noise; run under the sanitizers this shows
  // that no input makes the decoder read outside its bytes.
  std::mt19937 rng(7);
  const Bytes valid = valid_stream().bytes;
  for (int i = 0; i < 4000; ++i) {
    Bytes b = valid;
    if (i % 4 == 0) {
      b.resize(rng() % 200);
      for (auto &c : b) c = static_cast<uint8_t>(rng());
    } else {
      for (int k = 0; k < 1 + i % 5; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    }
    StreamDecoder d;
    std::vector<Message> out;
    for (size_t at = 0; at < b.size();) {
      size_t n = std::min<size_t>(1 + rng() % 16, b.size() - at);
      d.feed(b.data() + at, n, &out);
      at += n;
    }
    d.finish();
    size_t covered = 0;
    for (const Message &m : out) covered += m.length;
    EXPECT_EQ(covered, d.consumed());
  }
}

TEST(Decoder, KindNames) {
  EXPECT_STREQ(veska::wire::message_kind_name(MessageKind::kRegister), "register");
  EXPECT_STREQ(veska::wire::message_kind_name(MessageKind::kEvent), "event");
  EXPECT_STREQ(veska::wire::message_kind_name(MessageKind::kStatistics), "statistics");
  EXPECT_STREQ(veska::wire::message_kind_name(MessageKind::kHeartbeat), "heartbeat");
}

}  // namespace
