// A store in a temporary folder for the store's tests: events described in a line each are
// serialised by the library, written through the batch writer, and read back through the
// reader the HTTP API uses.
#ifndef VESKA_TESTS_COLLECTOR_STORE_STORE_FIXTURE_H
#define VESKA_TESTS_COLLECTOR_STORE_STORE_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/event_builder.h"
#include "support/logging_process.h"
#include "tools/collector/store/message_batch.h"
#include "tools/collector/store/sqlite_reader.h"
#include "tools/collector/store/transaction_writer.h"

namespace veska_test {

struct StoredEvent {
  qiva_event_type_t type;
  std::string transaction_id;
  int64_t time_us;
  std::string hlink = "";
  std::string vlink = "";
  std::vector<Item> data = {};
  std::vector<Item> stitch = {};
  std::string peer = "127.0.0.1:1000";
  bool blocked = false;
};

inline Bytes bytes_of_text(const std::string &text) { return Bytes(text.begin(), text.end()); }

inline Bytes event_message(const StoredEvent &e) {
  EventBuilder b;
  qiva_event_t &event = b.event();
  event.type = e.type;
  event.blocked = e.blocked ? 1 : 0;
  event.timestamp.sec = static_cast<qiva_uint32_t>(e.time_us / 1000000);
  event.timestamp.usec = static_cast<qiva_uint32_t>(e.time_us % 1000000);
  b.transaction_id(bytes_of_text(e.transaction_id));
  event.instance_id.transaction_data = b.list(e.data);
  if (!e.hlink.empty()) b.link_id(&event.horizontal_id, bytes_of_text(e.hlink));
  event.horizontal_id.stitch_ids = b.list(e.stitch);
  if (!e.vlink.empty()) b.link_id(&event.vertical_id, bytes_of_text(e.vlink));
  return b.serialise();
}

// A statistics message with these counts (its header and payload as the library sends them).
inline Bytes statistics_message(uint32_t dropped, uint16_t connections) {
  return {2,
          0,
          0,
          6,
          uint8_t(dropped >> 24),
          uint8_t(dropped >> 16),
          uint8_t(dropped >> 8),
          uint8_t(dropped),
          uint8_t(connections >> 8),
          uint8_t(connections)};
}

class StoreTest : public ::testing::Test {
 public:
  static int64_t now_us();  // the wall clock, as the store's times are

 protected:
  StoreTest() { settings_.retain_age = 1e9; }

  std::string path() const { return folder_.file("store.sqlite"); }

  veska::store::TransactionWriter &writer() {
    if (!writer_) {
      std::string error;
      bool refused = false;
      writer_ = veska::store::TransactionWriter::open(path(), settings_, &error, &refused);
      EXPECT_TRUE(writer_) << error;
    }
    return *writer_;
  }
  veska::store::TransactionReader &reader() {
    if (!reader_) {
      std::string error;
      reader_ = veska::store::open_transaction_reader(path(), settings_, &error);
      EXPECT_TRUE(reader_) << error;
    }
    return *reader_;
  }

  void add(veska::store::MessageBatch *batch, const Bytes &message, const std::string &peer,
           int64_t received_us) {
    batch->add(message.data(), message.size(), peer, 1, next_offset_, received_us);
    next_offset_ += message.size();
  }
  // Writes the events in one batch, received "now" by the events' own clock.
  void write(const std::vector<StoredEvent> &events) {
    veska::store::MessageBatch batch;
    for (const StoredEvent &e : events) add(&batch, event_message(e), e.peer, e.time_us);
    std::string error;
    ASSERT_TRUE(writer().write(batch, now_us(), &error)) << error;
  }

  // The detail of the transaction with this id, found through a search.
  nlohmann::ordered_json detail(const std::string &transaction_id);
  // The transaction ids a search answers, in its order.
  std::vector<std::string> search_ids(const veska::store::TransactionQuery &query);

  TempDir folder_{"veska-store"};
  veska::store::StoreSettings settings_;
  std::unique_ptr<veska::store::TransactionWriter> writer_;
  std::unique_ptr<veska::store::TransactionReader> reader_;
  uint64_t next_offset_ = 0;
};

inline int64_t StoreTest::now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

inline std::vector<std::string> StoreTest::search_ids(const veska::store::TransactionQuery &query) {
  nlohmann::ordered_json answer;
  std::string error;
  EXPECT_EQ(veska::store::ReadStatus::kOk, reader().search(query, &answer, &error)) << error;
  std::vector<std::string> ids;
  for (const auto &summary : answer["transactions"]) {
    ids.push_back(summary["transaction_id"].is_string()
                      ? summary["transaction_id"].get<std::string>()
                      : summary["transaction_id"].dump());
  }
  return ids;
}

inline nlohmann::ordered_json StoreTest::detail(const std::string &transaction_id) {
  veska::store::TransactionQuery query;
  query.id = transaction_id;
  nlohmann::ordered_json answer, found;
  std::string error;
  EXPECT_EQ(veska::store::ReadStatus::kOk, reader().search(query, &found, &error)) << error;
  if (found["transactions"].empty()) return nullptr;
  const std::string key = found["transactions"][0]["key"];
  EXPECT_EQ(veska::store::ReadStatus::kOk, reader().transaction(key, &answer, &error)) << error;
  return answer;
}

}  // namespace veska_test

#endif  // VESKA_TESTS_COLLECTOR_STORE_STORE_FIXTURE_H
