// The natives' own failure rows and argument handling, against a stand-in JNIEnv: what is
// raised, with which code and text, and what reaches the configuration record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "src/veska4j/veska4j.h"
#include "tests/java/fake_jni.h"

namespace {

using veska_test::FakeEnv;

TEST(ServerImplNatives, NegativeEventTypeIsRefusedBeforeAnythingIsRead) {
  for (jint type : {-1, static_cast<jint>(0x80000000u), static_cast<jint>(0x80000014u)}) {
    FakeEnv fake;
    jbyteArray tid = fake.bytes("tid");
    Java_veska4j_impl_ServerImpl__1track(fake.env(), nullptr, 0, type, 0, 0, JNI_FALSE, 0, 0,
                                         nullptr, nullptr, tid, nullptr, nullptr, nullptr, nullptr,
                                         nullptr);
    ASSERT_NE(fake.pending, nullptr);
    EXPECT_EQ(fake.pending->text, "veska4j/VESKA4JException");
    EXPECT_EQ(fake.pending->code, 102);
    EXPECT_EQ(fake.pending->message, "Invalid event type");
    EXPECT_EQ(fake.length_calls, 0);
    EXPECT_TRUE(fake.takes.empty());

    // The flat entry point refuses the same types the same way.
    FakeEnv flat;
    Java_veska4j_impl_ServerImpl__1trackFlat(flat.env(), nullptr, 0, type, 0, 0, JNI_FALSE, 0, 0,
                                             flat.bytes(std::string(64, '\0')), 64);
    ASSERT_NE(flat.pending, nullptr);
    EXPECT_EQ(flat.pending->code, 102);
    EXPECT_EQ(flat.pending->message, "Invalid event type");
  }
}

TEST(ServerImplNatives, ThrowCarriesTheCodeAndItsText) {
  FakeEnv fake;
  VESKA4J_throw(fake.env(), QIVA_ERR_INVALID);
  ASSERT_NE(fake.pending, nullptr);
  EXPECT_EQ(fake.pending->text, "veska4j/VESKA4JException");
  EXPECT_EQ(fake.pending->code, 21);
  EXPECT_EQ(fake.pending->message, "Invalid parameter(s)");
}

TEST(ServerImplNatives, VersionMismatchRaisesRuntimeExceptionNamingBoth) {
  FakeEnv fake;
  Java_veska4j_impl_ServerImpl_onLoad(fake.env(), nullptr, 2);
  ASSERT_NE(fake.pending, nullptr);
  EXPECT_EQ(fake.pending->text, "java/lang/RuntimeException");
  EXPECT_EQ(fake.pending->message, "JNI versions do not match (Java: 2, native: 1)");
}

TEST(ServerImplNatives, ConfigurationTakesTheLowBitsAndTheSharedDefaultAddress) {
  FakeEnv fake;
  qiva_config_t *config = static_cast<qiva_config_t *>(std::malloc(sizeof(qiva_config_t)));
  VESKA4J_init(fake.env(), config, nullptr, fake.string("/tmp/tokens"), 0x100000007LL,
               0x200000003LL, 0x300000009LL, 65536);
  ASSERT_EQ(fake.pending, nullptr);
  EXPECT_STREQ(config->server, "tcp:127.0.0.1:5455");
  EXPECT_STREQ(config->token_filename, "/tmp/tokens");
  EXPECT_EQ(config->connect_timeout, 7u);
  EXPECT_EQ(config->connect_retries, 3u);
  EXPECT_EQ(config->connect_retry_interval, 9u);
  EXPECT_EQ(config->queue_size, 0);  // 65536: the default applies
  EXPECT_EQ(config->handle, nullptr);
  EXPECT_EQ(fake.strings_held, 0);
  VESKA4J_release_config(config);  // must not free the shared default text (ASan checks)

  qiva_config_t *other = static_cast<qiva_config_t *>(std::malloc(sizeof(qiva_config_t)));
  jstring address = fake.string("tcp:127.0.0.1:1");
  VESKA4J_init(fake.env(), other, address, nullptr, 0, 0, 0, 65535);
  EXPECT_STREQ(other->server, "tcp:127.0.0.1:1");
  EXPECT_NE(other->server, FakeEnv::object(address)->text.c_str());  // a copy
  EXPECT_EQ(other->token_filename, nullptr);
  EXPECT_EQ(other->queue_size, 65535);
  VESKA4J_release_config(other);
}

TEST(ServerImplNatives, CloseOfHandleZeroDoesNothing) {
  FakeEnv fake;
  Java_veska4j_impl_ServerImpl__1close(fake.env(), nullptr, 0);
  EXPECT_EQ(fake.pending, nullptr);
}

TEST(ServerImplNatives, AddressWithoutTransportPartIs21) {
  for (const char *address : {"nocolon", ":127.0.0.1:5455", ""}) {
    FakeEnv fake;
    Java_veska4j_impl_ServerImpl__1verifyAddress(fake.env(), nullptr, fake.string(address));
    ASSERT_NE(fake.pending, nullptr) << address;
    EXPECT_EQ(fake.pending->code, 21) << address;
    EXPECT_EQ(fake.strings_held, 0);
  }
  FakeEnv fake;
  Java_veska4j_impl_ServerImpl__1verifyAddress(fake.env(), nullptr, nullptr);
  EXPECT_EQ(fake.pending, nullptr);
}

TEST(ServerImplNatives, AddressIsSplitAtTheFirstColonForTheTransport) {
  FakeEnv fake;
  Java_veska4j_impl_ServerImpl__1verifyAddress(fake.env(), nullptr, fake.string("null:anything"));
  int rc = fake.pending == nullptr ? 0 : fake.pending->code;
  EXPECT_EQ(rc, QIVA_check_address("null", "anything"));
  EXPECT_EQ(fake.strings_held, 0);
}

TEST(ServerImplNatives, BridgeRefusesSelectionWithoutVirtualMachine) {
  EXPECT_EQ(VESKA4J_GetJavaVM(), nullptr);
  EXPECT_EQ(QIVA_veska4j_logger_module.QIVA_logger_init_module(), QIVA_ERR_INVALID);
  EXPECT_EQ(QIVA_veska4j_logger_module.QIVA_logger_logging(nullptr, QIVA_LOG_ERROR), 0);
  EXPECT_EQ(QIVA_veska4j_logger_module.QIVA_logger_debugging, nullptr);
}

}  // namespace
