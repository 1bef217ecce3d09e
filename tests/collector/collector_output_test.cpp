// The collector's fast paths against the full decoder: check_message accepts exactly what
// decode_message accepts, feed_views finds the same messages and errors in any chunking, and
// the JSON lines rendered from the wire bytes are exactly nlohmann's dump of the same record.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "private_api.h"
#include "tools/collector/decoding/decoder.h"
#include "tools/collector/outputs/output.h"

namespace {

namespace wire = veska::wire;
using Bytes = wire::Bytes;
using Json = nlohmann::ordered_json;

// Random messages built byte by byte, valid unless mutated afterwards.
class RandomWire {
 public:
  explicit RandomWire(uint32_t start) : rng_(start) {}
  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < percent; }

  // Printable text with JSON's special characters, or any bytes.
  void bytes(Bytes *out, size_t size) {
    static const char kPrintable[] = "ab \"\\/{}x~";
    const bool printable = chance(60);
    for (size_t i = 0; i < size; ++i) {
      out->push_back(printable ? kPrintable[below(sizeof kPrintable - 1)]
                               : static_cast<uint8_t>(below(256)));
    }
  }
  void list(Bytes *out) {
    const int count = chance(20) ? 0 : 1 + below(4);
    std::vector<std::pair<int, int>> sizes;
    out->push_back(static_cast<uint8_t>(count));
    for (int i = 0; i < count; ++i) {
      sizes.emplace_back(below(8), chance(5) ? below(300) : below(12));
      out->push_back(static_cast<uint8_t>(sizes.back().first));
      out->push_back(static_cast<uint8_t>(sizes.back().second >> 8));
      out->push_back(static_cast<uint8_t>(sizes.back().second));
    }
    for (const auto &size : sizes) {
      bytes(out, size.first);
      bytes(out, size.second);
    }
  }
  Bytes message() {
    Bytes payload;
    Bytes out = {0x01, 0x00, 0, 0};
    switch (below(6)) {
      case 0:
        return {0x00, 0x00, 0x00, 0x02, 0x00, 0x00};
      case 1:
        out = {0x02, static_cast<uint8_t>(below(2)), 0x00, 0x06};
        bytes(&out, 4);
        out.push_back(0);
        out.push_back(out[1] == 0 ? static_cast<uint8_t>(below(256)) : 0);
        return out;
      default: {
        const uint16_t word = static_cast<uint16_t>(below(10) | (chance(30) ? 0x8000 : 0));
        const uint16_t presence = static_cast<uint16_t>(below(32));
        payload = {static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word),
                   static_cast<uint8_t>(presence >> 8), static_cast<uint8_t>(presence)};
        for (int i = 0; i < 8; ++i) payload.push_back(static_cast<uint8_t>(below(256)));
        if (presence & 0x01) {
          const int id = below(20);
          payload.push_back(0);
          payload.push_back(static_cast<uint8_t>(id));
          bytes(&payload, id);
          list(&payload);
        }
        for (int bit = 0x02; bit <= 0x04; bit <<= 1) {
          if (!(presence & bit)) continue;
          payload.push_back(static_cast<uint8_t>(below(256)));
          const int link = below(12);
          payload.push_back(static_cast<uint8_t>(link));
          bytes(&payload, link);
          list(&payload);
        }
        if (presence & 0x08) list(&payload);
        if (presence & 0x10) list(&payload);
      }
    }
    out[2] = static_cast<uint8_t>(payload.size() >> 8);
    out[3] = static_cast<uint8_t>(payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  }
  // One to three bytes changed, or a byte cut off or added (header length following or not).
  void mutate(Bytes *m) {
    const int how = below(4);
    if (how == 0 && m->size() > 4) {
      m->pop_back();
    } else if (how == 1) {
      m->push_back(static_cast<uint8_t>(below(256)));
    } else {
      for (int i = 0, n = 1 + below(3); i < n; ++i) {
        (*m)[below(static_cast<int>(m->size()))] = static_cast<uint8_t>(below(256));
      }
    }
    if (how < 2 && chance(50)) {
      (*m)[2] = static_cast<uint8_t>((m->size() - 4) >> 8);
      (*m)[3] = static_cast<uint8_t>(m->size() - 4);
    }
  }

 private:
  std::mt19937 rng_;
};

// The JSON record as the collector built it with nlohmann before it rendered lines itself.
Json reference_bytes(const uint8_t *data, size_t size) {
  bool printable = true;
  for (size_t i = 0; i < size && printable; ++i) printable = data[i] >= 0x20 && data[i] <= 0x7E;
  if (printable) return Json(std::string(reinterpret_cast<const char *>(data), size));
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < size; ++i) hex += {kDigits[data[i] >> 4], kDigits[data[i] & 0x0F]};
  Json object = Json::object();
  object["hex"] = hex;
  return object;
}
Json reference_bytes(const Bytes &b) { return reference_bytes(b.data(), b.size()); }
Json reference_list(const wire::ValuesList &list) {
  Json array = Json::array();
  for (const wire::ValueItem &item : list) {
    Json entry = Json::object();
    entry["name"] =
        reference_bytes(reinterpret_cast<const uint8_t *>(item.name.data()), item.name.size());
    entry["value"] = reference_bytes(item.value);
    array.push_back(entry);
  }
  return array;
}
Json reference_association(const wire::AssociationSection &s) {
  Json object = Json::object();
  object["caller_type"] = s.caller_type;
  object["link_id"] = reference_bytes(s.link_id);
  object["stitch_ids"] = reference_list(s.stitch_ids);
  return object;
}
std::string reference_line(const wire::Message &m, uint64_t connection, const std::string &peer) {
  Json r = Json::object();
  r["connection"] = connection;
  r["peer"] = peer;
  r["kind"] = wire::message_kind_name(m.kind);
  r["offset"] = m.offset;
  if (m.kind == wire::MessageKind::kEvent) {
    const wire::EventMessage &e = m.event;
    r["length"] = m.length;
    r["type"] = e.type;
    const char *name = QIVA_get_event_name(static_cast<qiva_event_type_t>(e.type));
    r["type_name"] = name != nullptr && std::string(name) != "<unknown>" ? Json(name) : Json();
    r["blocked"] = e.blocked;
    r["seconds"] = e.seconds;
    r["microseconds"] = e.microseconds;
    if (e.instance) {
      Json instance = Json::object();
      instance["transaction_id"] = reference_bytes(e.instance->transaction_id);
      instance["transaction_data"] = reference_list(e.instance->transaction_data);
      r["instance"] = instance;
    }
    if (e.horizontal) r["horizontal"] = reference_association(*e.horizontal);
    if (e.vertical) r["vertical"] = reference_association(*e.vertical);
    if (e.horizontal_context) r["horizontal_context"] = reference_list(*e.horizontal_context);
    if (e.vertical_context) r["vertical_context"] = reference_list(*e.vertical_context);
  } else if (m.kind == wire::MessageKind::kStatistics) {
    r["events_dropped"] = m.statistics.events_dropped;
    r["connections_made"] = m.statistics.connections_made;
  } else if (m.kind == wire::MessageKind::kHeartbeat) {
    r["seconds"] = m.heartbeat.seconds;
  }
  return r.dump() + "\n";
}

TEST(CollectorFastPath, CheckMessageAgreesWithTheFullDecoder) {
  RandomWire random(7);
  int accepted = 0, refused = 0;
  for (int i = 0; i < 12000; ++i) {
    Bytes m = random.message();
    if (i % 2 == 1) random.mutate(&m);
    wire::Message full;
    wire::DecodeError error;
    wire::MessageView view;
    const bool ok = wire::decode_message(m.data(), m.size(), 40, &full, &error);
    ASSERT_EQ(ok, wire::check_message(m.data(), m.size(), 40, &view)) << i;
    if (!ok) {
      ++refused;
      continue;
    }
    ++accepted;
    EXPECT_EQ(full.kind, view.kind);
    EXPECT_EQ(m.size(), view.length);
    EXPECT_EQ(40u, view.offset);
    if (full.kind == wire::MessageKind::kEvent && full.event.instance) {
      const Bytes &id = full.event.instance->transaction_id;
      ASSERT_EQ(id.size(), view.transaction_id_length);
      EXPECT_TRUE(std::equal(id.begin(), id.end(), view.transaction_id));
    } else {
      EXPECT_EQ(nullptr, view.transaction_id);
    }
    // The rendered line is exactly the reference record's dump.
    std::string line;
    veska::collector::render_json_line(view, 3, "127.0.0.1:\"9\\", &line);
    ASSERT_EQ(reference_line(full, 3, "127.0.0.1:\"9\\"), line) << i;
  }
  EXPECT_GT(accepted, 3000);
  EXPECT_GT(refused, 3000);
}

TEST(CollectorFastPath, FeedViewsFindsTheSameMessagesInAnyChunking) {
  RandomWire random(11);
  for (int round = 0; round < 300; ++round) {
    Bytes stream;
    for (int i = 0, n = 1 + random.below(20); i < n; ++i) {
      Bytes m = random.message();
      if (random.chance(3)) random.mutate(&m);
      stream.insert(stream.end(), m.begin(), m.end());
    }
    if (random.chance(30)) stream.resize(stream.size() - random.below(6));
    wire::StreamDecoder whole;
    std::vector<wire::Message> expected;
    const bool whole_ok = whole.feed(stream.data(), stream.size(), &expected) && whole.finish();

    struct Lines : wire::MessageVisitor {
      std::string text;
      void visit(const wire::MessageView &m) override {
        veska::collector::render_json_line(m, 1, "p", &text);
      }
    } lines;
    wire::StreamDecoder pieces;
    size_t at = 0;
    bool pieces_ok = true;
    while (at < stream.size() && pieces_ok) {
      const size_t step = std::min<size_t>(stream.size() - at, 1 + random.below(300));
      pieces_ok = pieces.feed_views(stream.data() + at, step, &lines);
      at += step;
    }
    pieces_ok = pieces_ok && pieces.finish();
    EXPECT_LE(pieces.pending(), 65539u);

    std::string reference;
    for (const wire::Message &m : expected) reference += reference_line(m, 1, "p");
    ASSERT_EQ(whole_ok, pieces_ok) << round;
    EXPECT_EQ(reference, lines.text) << round;
    EXPECT_EQ(whole.consumed(), pieces.consumed());
    if (!whole_ok) {
      EXPECT_EQ(whole.error()->offset, pieces.error()->offset);
      EXPECT_EQ(whole.error()->reason, pieces.error()->reason);
    }
  }
}

}  // namespace
