// ServerImpl._trackFlat against a stand-in JNIEnv: a layout from an untrusted caller is read
// within its bounds whatever it claims, and a malformed one is refused with 21 before
// anything is tracked; well-formed layouts of every size reach QIVA_track.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "src/veska4j/veska4j.h"
#include "tests/java/fake_jni.h"

namespace {

using veska_test::FakeEnv;

// Builds a layout the way veska4j.Event writes it: little-endian 32-bit lengths, the head
// (led by its own length) and then the contents.
class Layout {
 public:
  Layout &Int(int32_t v) {
    Append(&head_, v);
    return *this;
  }
  // A length in the head and its bytes in the contents.
  Layout &Field(const std::string &b) {
    Int(static_cast<int32_t>(b.size()));
    contents_ += b;
    return *this;
  }
  // A key: its length and bytes both in the head.
  Layout &KeyField(const std::string &k) {
    Int(static_cast<int32_t>(k.size()));
    head_ += k;
    return *this;
  }
  Layout &Contents(const std::string &b) {
    contents_ += b;
    return *this;
  }
  // The pair count and three absent fields, then the lists as given.
  static Layout Head(int32_t pairs) { return Layout().Int(pairs).Int(-1).Int(-1).Int(-1); }
  std::string bytes() const {
    std::string out;
    Append(&out, static_cast<int32_t>(4 + head_.size()));
    return out + head_ + contents_;
  }

 private:
  static void Append(std::string *to, int32_t v) {
    for (int i = 0; i < 4; i++)
      to->push_back(static_cast<char>(static_cast<uint32_t>(v) >> (8 * i)));
  }
  std::string head_;
  std::string contents_;
};

std::string Key(const std::string &name) { return name + std::string(1, '\0'); }

// A list of n pairs "kI" = value.
Layout &AddList(Layout &l, int n, const std::string &value) {
  l.Int(n);
  for (int i = 0; i < n; i++) l.KeyField(Key("k" + std::to_string(i))).Field(value);
  return l;
}

class FlatEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&config_, 0, sizeof config_);
    config_.server = "null:discard";
    ASSERT_EQ(0, QIVA_init(&config_));
  }
  void TearDown() override { QIVA_shutdown(&config_); }

  // The pending exception's code after tracking bytes (length: theirs unless given); 0 for
  // none, -1 for an exception that is not the library's.
  int Track(const std::string &bytes, jint length = -1) {
    FakeEnv fake;
    jbyteArray array = fake.bytes(bytes);
    if (length == -1) length = static_cast<jint>(bytes.size());
    Java_veska4j_impl_ServerImpl__1trackFlat(
        fake.env(), nullptr, static_cast<jlong>(reinterpret_cast<intptr_t>(&config_)),
        QIVA_HERE_EVENT, 5, 0, JNI_FALSE, 0, 0, array, length);
    if (fake.pending == nullptr) return 0;
    return fake.pending->text == "veska4j/VESKA4JException" ? fake.pending->code : -1;
  }

  qiva_config_t config_;
};

TEST_F(FlatEventTest, MalformedLayoutsAreRefusedWith21) {
  Layout empty_lists = Layout::Head(0);
  for (int i = 0; i < 5; i++) empty_lists.Int(-1);
  struct Row {
    const char *what;
    std::string bytes;
    jint length;
  } rows[] = {
      {"shorter than the head's length and pair count", std::string(7, '\0'), -1},
      {"head longer than the layout", Layout::Head(0).bytes().replace(0, 1, "\x7f"), -1},
      {"head shorter than its own start", std::string(1, '\4') + empty_lists.bytes().substr(1), -1},
      {"negative length", empty_lists.bytes(), -5},
      {"lists missing", Layout::Head(0).bytes(), -1},
      {"trailing byte", empty_lists.bytes() + "x", -1},
      {"contents past the end",
       Layout().Int(0).Int(-1).Int(-1).Int(4).Int(-1).Int(-1).Int(-1).Int(-1).Int(-1).bytes() +
           "ti",
       -1},
      {"pair count above the pairs",
       Layout::Head(1).Int(-1).Int(-1).Int(-1).Int(-1).Int(-1).bytes(), -1},
      {"pairs above the pair count",
       AddList(Layout::Head(0).Int(-1), 1, "v").Int(-1).Int(-1).Int(-1).bytes(), -1},
      {"pair count beyond the layout",
       Layout::Head(0x7fffffff).Int(-1).Int(-1).Int(-1).Int(-1).Int(-1).bytes(), -1},
      {"list count -2", Layout::Head(0).Int(-2).Int(-1).Int(-1).Int(-1).Int(-1).bytes(), -1},
      {"key length -1",
       Layout::Head(1).Int(1).Int(-1).Int(-1).Int(-1).Int(-1).Int(-1).Int(-1).bytes(), -1},
      {"value length -2",
       Layout::Head(1).Int(1).KeyField(Key("k")).Int(-2).Int(-1).Int(-1).Int(-1).Int(-1).bytes(),
       -1},
      {"field past the end",
       Layout()
           .Int(0)
           .Int(-1)
           .Int(-1)
           .Int(4000)
           .Int(-1)
           .Int(-1)
           .Int(-1)
           .Int(-1)
           .Int(-1)
           .Contents("tid")
           .bytes(),
       -1},
  };
  for (const Row &row : rows) EXPECT_EQ(QIVA_ERR_INVALID, Track(row.bytes, row.length)) << row.what;

  FakeEnv fake;
  Java_veska4j_impl_ServerImpl__1trackFlat(fake.env(), nullptr, 0, 1, 0, 0, JNI_FALSE, 0, 0,
                                           nullptr, 0);
  ASSERT_NE(fake.pending, nullptr);
  EXPECT_EQ(fake.pending->code, QIVA_ERR_INVALID);
  // A length past the array's end is the virtual machine's own exception, nothing more.
  EXPECT_EQ(-1, Track(empty_lists.bytes(), static_cast<jint>(empty_lists.bytes().size()) + 1));
}

TEST_F(FlatEventTest, WellFormedLayoutsOfEverySizeAreTracked) {
  Layout typical = Layout().Int(4).Field("vlink").Int(-1).Field("txn-000000000042");
  AddList(typical, 1, "app-01").Int(-1).Int(-1);
  AddList(typical, 2, "ACME Corporation");
  AddList(typical, 1, "c-77");
  EXPECT_EQ(0, Track(typical.bytes()));

  // Past the native side's stack room for both the bytes and the items.
  Layout large = Layout::Head(40);
  AddList(large, 40, std::string(200, 'v')).Int(-1).Int(-1).Int(-1).Int(-1);
  EXPECT_EQ(0, Track(large.bytes()));

  // The same refusals as the array path: a key without its zero byte, a value too long for
  // its length field.
  Layout bare_key =
      Layout::Head(1).Int(1).KeyField("bare").Field("v").Int(-1).Int(-1).Int(-1).Int(-1);
  EXPECT_EQ(QIVA_ERR_EVENT_INVALID_VCONTEXT_NAME, Track(bare_key.bytes()));
  Layout long_value = Layout::Head(1).Int(1).KeyField(Key("k")).Field(std::string(65537, 'v'));
  long_value.Int(-1).Int(-1).Int(-1).Int(-1);
  EXPECT_EQ(QIVA_ERR_EVENT_INVALID_VCONTEXT_LENGTH, Track(long_value.bytes()));
}

}  // namespace
