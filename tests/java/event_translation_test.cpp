// The translation of _track's Java arguments, against a stand-in JNIEnv: which items the
// lists get, that every pointer points into the Java arrays, and that the clean-up gives
// every element back exactly once in abort mode.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "src/veska4j/veska4j.h"
#include "tests/java/fake_jni.h"

namespace {

using veska_test::FakeEnv;

class EventTranslationTest : public ::testing::Test {
 protected:
  EventTranslationTest() { std::memset(&record_, 0, sizeof(record_)); }

  // Every element taken was released once, with JNI_ABORT, against the pointer handed out,
  // and no local reference is left.
  void ExpectAllReleasedOnce() {
    int taken = 0;
    for (const auto &t : fake_.takes) {
      taken += t.second;
      int released = 0;
      for (const veska_test::Release &r : fake_.releases) {
        if (r.array != t.first) continue;
        released++;
        EXPECT_EQ(r.mode, JNI_ABORT);
        EXPECT_EQ(r.elements, t.first->bytes.data());
      }
      EXPECT_EQ(released, t.second);
    }
    EXPECT_EQ(static_cast<size_t>(taken), fake_.releases.size());
    EXPECT_EQ(fake_.live_local_refs, 0);
    EXPECT_EQ(record_.values, nullptr);
  }

  static std::string Name(const qiva_values_list_t *item) { return item->name; }

  FakeEnv fake_;
  qivapi4j_event_t record_;
};

TEST_F(EventTranslationTest, FillsEveryFieldWithoutCopyingAndReleasesOnce) {
  jbyteArray vlink = fake_.bytes("vlink");
  jbyteArray hlink = fake_.bytes("hlink");
  jbyteArray tid = fake_.bytes("tid-1");
  jbyteArray hs_value = fake_.bytes("hsv");
  record_.eventType = 3;
  record_.timestampSeconds = 0x100000005LL;  // only the low 32 bits are kept
  record_.timestampMicroseconds = 42;
  record_.blocked = JNI_TRUE;
  record_.verticalCaller = 7;
  record_.horizontalCaller = 200;
  record_.verticalLink = vlink;
  record_.horizontalLink = hlink;
  record_.transactionId = tid;
  record_.horizontalStitches = fake_.objects(
      {fake_.pair(fake_.key("hs1"), hs_value), fake_.pair(fake_.key("hs2"), nullptr)});
  record_.verticalStitches = fake_.objects({fake_.pair(fake_.key("vs1"), fake_.bytes("v"))});
  record_.transactionData = fake_.objects({fake_.pair(fake_.key("td1"), fake_.bytes("t"))});
  record_.horizontalContext = fake_.objects({fake_.pair(fake_.key("hc1"), fake_.bytes("h"))});
  record_.verticalContext = fake_.objects({fake_.pair(fake_.key("vc1"), fake_.bytes("c")),
                                           fake_.pair(fake_.key("vc2"), fake_.bytes(""))});

  VESKA4J_translate_event(fake_.env(), &record_);
  ASSERT_EQ(fake_.pending, nullptr);
  const qiva_event_t &e = record_.event;
  EXPECT_EQ(e.type, 3u);
  EXPECT_EQ(e.timestamp.sec, 5u);
  EXPECT_EQ(e.timestamp.usec, 42u);
  EXPECT_EQ(e.blocked, 1);
  EXPECT_EQ(e.vertical_id.caller_type, 7u);
  EXPECT_EQ(e.horizontal_id.caller_type, 200u);
  EXPECT_EQ(e.vertical_id.flags, 1);
  EXPECT_EQ(e.horizontal_id.flags, 1);
  EXPECT_EQ(e.vertical_id.link_id, reinterpret_cast<const qiva_byte_t *>(FakeEnv::data(vlink)));
  EXPECT_EQ(e.vertical_id.link_id_size, 5);
  EXPECT_EQ(e.horizontal_id.link_id_size, 5);
  EXPECT_EQ(e.instance_id.transaction_id,
            reinterpret_cast<const qiva_byte_t *>(FakeEnv::data(tid)));
  EXPECT_EQ(e.instance_id.size, 5);
  EXPECT_EQ(e.instance_id.flags, 1);

  // One block, in the fixed order: horizontal stitches, vertical stitches, transaction
  // data, horizontal context, vertical context.
  const qiva_values_list_t *v = record_.values;
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(e.horizontal_id.stitch_ids, &v[0]);
  EXPECT_EQ(v[0].next, &v[1]);
  EXPECT_EQ(v[1].next, nullptr);
  EXPECT_EQ(e.vertical_id.stitch_ids, &v[2]);
  EXPECT_EQ(e.instance_id.transaction_data, &v[3]);
  EXPECT_EQ(e.horizontal_context, &v[4]);
  EXPECT_EQ(e.vertical_context, &v[5]);
  EXPECT_EQ(v[5].next, &v[6]);
  EXPECT_EQ(v[6].next, nullptr);
  EXPECT_EQ(Name(&v[0]), "hs1");
  EXPECT_EQ(Name(&v[6]), "vc2");
  EXPECT_EQ(v[0].value, reinterpret_cast<const qiva_byte_t *>(FakeEnv::data(hs_value)));
  EXPECT_EQ(v[0].size, 3);
  EXPECT_EQ(v[0].flags, 3);
  // A null value and an empty one both give no value.
  EXPECT_EQ(v[1].value, nullptr);
  EXPECT_EQ(v[1].size, 0);
  EXPECT_EQ(v[6].value, nullptr);
  EXPECT_EQ(v[6].size, 0);

  VESKA4J_cleanup_event(fake_.env(), &record_);
  EXPECT_EQ(fake_.releases.size(), 15u);  // 3 identifiers, 7 names, 5 non-empty values
  ExpectAllReleasedOnce();
}

TEST_F(EventTranslationTest, EventWithoutPairsAllocatesNothing) {
  record_.eventType = 1;
  record_.transactionId = fake_.bytes("");
  record_.verticalContext = fake_.objects({});
  VESKA4J_translate_event(fake_.env(), &record_);
  ASSERT_EQ(fake_.pending, nullptr);
  EXPECT_EQ(record_.values, nullptr);
  EXPECT_EQ(record_.event.vertical_context, nullptr);
  EXPECT_EQ(record_.event.instance_id.transaction_id, nullptr);
  EXPECT_EQ(record_.event.instance_id.size, 0);
  EXPECT_EQ(record_.event.instance_id.flags, 1);
  EXPECT_EQ(record_.event.horizontal_id.flags, 1);
  EXPECT_EQ(record_.event.vertical_id.flags, 1);
  VESKA4J_cleanup_event(fake_.env(), &record_);
  EXPECT_TRUE(fake_.releases.empty());
}

TEST_F(EventTranslationTest, LongIdentifiersKeepOnlyTheLowBitsOfTheirLength) {
  record_.horizontalLink = fake_.bytes(std::string(256, 'x'));
  record_.transactionId = fake_.bytes(std::string(65536, 't'));
  VESKA4J_translate_event(fake_.env(), &record_);
  // QIVA_track refuses a set pointer with length 0; nothing reads past the arrays.
  EXPECT_NE(record_.event.horizontal_id.link_id, nullptr);
  EXPECT_EQ(record_.event.horizontal_id.link_id_size, 0);
  EXPECT_EQ(record_.event.instance_id.size, 0);
  VESKA4J_cleanup_event(fake_.env(), &record_);
  ExpectAllReleasedOnce();
}

TEST_F(EventTranslationTest, NullKeyEndsOnlyItsOwnArray) {
  jbyteArray skipped_value = fake_.bytes("never");
  record_.horizontalStitches = fake_.objects({fake_.pair(fake_.key("a"), fake_.bytes("1")),
                                              fake_.pair(nullptr, skipped_value),
                                              fake_.pair(fake_.key("c"), fake_.bytes("3"))});
  record_.verticalStitches = fake_.objects({fake_.pair(fake_.key("d"), fake_.bytes("4"))});
  record_.transactionData = fake_.objects({nullptr, fake_.pair(fake_.key("x"), nullptr)});
  record_.verticalContext = fake_.objects({fake_.pair(nullptr, nullptr)});
  VESKA4J_translate_event(fake_.env(), &record_);
  ASSERT_EQ(fake_.pending, nullptr);

  const qiva_values_list_t *v = record_.values;
  const qiva_event_t &e = record_.event;
  ASSERT_NE(e.horizontal_id.stitch_ids, nullptr);
  EXPECT_EQ(e.horizontal_id.stitch_ids, &v[0]);
  EXPECT_EQ(Name(&v[0]), "a");
  EXPECT_EQ(v[0].next, nullptr);  // the pair with the null key is not linked, nor "c"
  EXPECT_EQ(v[1].name, nullptr);
  EXPECT_EQ(v[2].name, nullptr);
  // The next array still starts at its own place in the block.
  EXPECT_EQ(e.vertical_id.stitch_ids, &v[3]);
  EXPECT_EQ(Name(&v[3]), "d");
  EXPECT_EQ(e.instance_id.transaction_data, nullptr);
  EXPECT_EQ(e.vertical_context, nullptr);
  EXPECT_EQ(fake_.takes.count(FakeEnv::object(skipped_value)), 0u);

  VESKA4J_cleanup_event(fake_.env(), &record_);
  EXPECT_EQ(fake_.releases.size(), 4u);
  ExpectAllReleasedOnce();
}

TEST_F(EventTranslationTest, KeyWithoutZeroByteGivesNullNameAndIsReleasedAtOnce) {
  jbyteArray bare = fake_.bytes("bare");
  record_.horizontalContext =
      fake_.objects({fake_.pair(fake_.key("ok"), nullptr), fake_.pair(bare, fake_.bytes("v")),
                     fake_.pair(fake_.bytes(""), nullptr)});
  VESKA4J_translate_event(fake_.env(), &record_);
  ASSERT_EQ(fake_.pending, nullptr);
  const qiva_values_list_t *v = record_.values;
  // Still linked, so QIVA_track reports the list's name fault instead of reading past it.
  ASSERT_EQ(record_.event.horizontal_context, &v[0]);
  EXPECT_EQ(v[0].next, &v[1]);
  EXPECT_EQ(v[1].name, nullptr);
  EXPECT_EQ(v[1].next, &v[2]);
  EXPECT_EQ(v[2].name, nullptr);
  EXPECT_EQ(fake_.releases_of(bare), 1);
  VESKA4J_cleanup_event(fake_.env(), &record_);
  EXPECT_EQ(fake_.releases_of(bare), 1);
  ExpectAllReleasedOnce();
}

TEST_F(EventTranslationTest, FailureHalfWayReleasesWhatWasTaken) {
  jbyteArray failing = fake_.bytes("boom");
  record_.verticalLink = fake_.bytes("vl");
  record_.horizontalContext = fake_.objects({fake_.pair(fake_.key("h1"), fake_.bytes("1")),
                                             fake_.pair(fake_.key("h2"), failing),
                                             fake_.pair(fake_.key("h3"), fake_.bytes("3"))});
  record_.verticalContext = fake_.objects({fake_.pair(fake_.key("v1"), fake_.bytes("1"))});
  fake_.fail_elements_of = FakeEnv::object(failing);
  VESKA4J_translate_event(fake_.env(), &record_);
  ASSERT_NE(fake_.pending, nullptr);
  EXPECT_EQ(record_.event.vertical_context, nullptr);  // translation stopped at once
  VESKA4J_cleanup_event(fake_.env(), &record_);
  // The link, h1's name and value, and h2's name, whose value failed.
  EXPECT_EQ(fake_.releases.size(), 4u);
  ExpectAllReleasedOnce();
}

TEST_F(EventTranslationTest, ManyPairsAskForEnoughLocalReferences) {
  std::vector<jobject> pairs;
  for (int i = 0; i < 100; i++) {
    pairs.push_back(fake_.pair(fake_.key("k" + std::to_string(i)), fake_.bytes("v")));
  }
  record_.verticalContext = fake_.objects(pairs);
  VESKA4J_translate_event(fake_.env(), &record_);
  ASSERT_EQ(fake_.pending, nullptr);
  EXPECT_LE(fake_.max_live_local_refs, fake_.ensured_capacity);
  VESKA4J_cleanup_event(fake_.env(), &record_);
  ExpectAllReleasedOnce();
}

}  // namespace
