// The module registry, the call layer's back-link rules, and the null and ssn modules.
#include <gtest/gtest.h>
#include <string.h>

#include "lib/transport/transport.h"
#include "transport_test_util.h"
#include "types.h"

namespace {

TEST(TransportRegistry, FindsModulesIgnoringCase) {
  transport_module_t *tcp = TRANSPORT_lookup("tcp");
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp, &tcp_transport_module);
  EXPECT_EQ(TRANSPORT_lookup("TCP"), tcp);
  EXPECT_EQ(TRANSPORT_lookup("tCp"), tcp);
  EXPECT_EQ(TRANSPORT_lookup("NULL"), &null_transport_module);
  EXPECT_STREQ(tcp->name, "tcp");
}

TEST(TransportRegistry, UnknownNamesFindNothing) {
  EXPECT_EQ(TRANSPORT_lookup("ssn"), nullptr);  // exists, but is never registered
  EXPECT_EQ(TRANSPORT_lookup("udp"), nullptr);
  EXPECT_EQ(TRANSPORT_lookup(""), nullptr);
  EXPECT_EQ(TRANSPORT_lookup("tcp "), nullptr);
  EXPECT_EQ(TRANSPORT_lookup(nullptr), nullptr);

  transport_instance_t instance = {};
  EXPECT_EQ(TRANSPORT_init(&instance, "ssn"), QIVA_ERR_INVALID);
  EXPECT_EQ(TRANSPORT_init(&instance, "udp"), QIVA_ERR_INVALID);
  EXPECT_EQ(instance.module, nullptr);
  EXPECT_EQ(TRANSPORT_check_address("ssn", "abcd"), QIVA_ERR_INVALID);
  EXPECT_EQ(TRANSPORT_check_address("", "127.0.0.1:5455"), QIVA_ERR_INVALID);
  EXPECT_EQ(QIVA_check_address("udp", "127.0.0.1:5455"), QIVA_ERR_INVALID);
}

TEST(TransportRegistry, ListReadsNullThenTcp) {
  transport_module_t *head = TRANSPORT_lookup("null");
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->next, &tcp_transport_module);
  EXPECT_EQ(tcp_transport_module.next, nullptr);
}

TEST(TransportRegistry, CheckAddressForwardsToTheModule) {
  EXPECT_EQ(QIVA_check_address("tcp", "127.0.0.1:5455"), 0);
  EXPECT_EQ(QIVA_check_address("TCP", "localhost"), QIVA_ERR_INVALID);
  EXPECT_EQ(QIVA_check_address("null", "anything at all"), 0);
  EXPECT_EQ(TRANSPORT_check_address("tcp", "127.0.0.1:65536"), QIVA_ERR_INVALID);
}

TEST(SsnTransport, ChecksOnlyTheLength) {
  ASSERT_NE(ssn_transport_module.check_address_function, nullptr);
  EXPECT_STREQ(ssn_transport_module.name, "ssn");
  EXPECT_EQ(_ssn_check_address("abcd"), 0);
  EXPECT_EQ(_ssn_check_address("abc"), QIVA_ERR_Z_PRAXEN_INVALID_CONF_TOKEN);
  EXPECT_EQ(_ssn_check_address("abcde"), QIVA_ERR_Z_PRAXEN_INVALID_CONF_TOKEN);
  EXPECT_EQ(_ssn_check_address(""), QIVA_ERR_Z_PRAXEN_INVALID_CONF_TOKEN);
  EXPECT_EQ(_ssn_check_address(nullptr), QIVA_ERR_INVALID);
  EXPECT_EQ(ssn_transport_module.connect_function, nullptr);
}

TEST(TransportCallLayer, ZeroedEndpointsAreHandledWithoutAModule) {
  transport_endpoint_t endpoint = {};
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
  EXPECT_EQ(TRANSPORT_close(nullptr), 0);
  EXPECT_EQ(TRANSPORT_set_blocking(&endpoint, 1), QIVA_ERR_INVALID);
  EXPECT_EQ(TRANSPORT_set_blocking(nullptr, 0), QIVA_ERR_INVALID);
  char buf[4];
  uint32_t size = sizeof buf;
  EXPECT_EQ(TRANSPORT_send(&endpoint, buf, &size), QIVA_ERR_INVALID);
  EXPECT_EQ(TRANSPORT_receive(&endpoint, buf, &size), QIVA_ERR_INVALID);
  transport_endpoint_t remote = {};
  EXPECT_EQ(TRANSPORT_accept(&endpoint, &remote), QIVA_ERR_INVALID);
  transport_instance_t uninitialised = {};
  EXPECT_EQ(TRANSPORT_connect(&uninitialised, &endpoint, "127.0.0.1:1"), QIVA_ERR_INVALID);
  EXPECT_EQ(endpoint.transport, nullptr);
}

// A module whose operations record what the call layer hands them.
struct Recorded {
  struct timeval timeout;
  bool timeout_was_null;
  transport_instance_t *transport_at_call;
  int connect_result;
};
Recorded recorded;

int RecordingConnect(transport_endpoint_t *endpoint, const char *, const struct timeval *t) {
  recorded.timeout_was_null = t == nullptr;
  if (t != nullptr) recorded.timeout = *t;
  recorded.transport_at_call = endpoint->transport;
  return recorded.connect_result;
}

int RecordingListen(transport_endpoint_t *endpoint, const char *) {
  recorded.transport_at_call = endpoint->transport;
  return recorded.connect_result;
}

int RecordingAccept(transport_endpoint_t *, transport_endpoint_t *remote) {
  recorded.transport_at_call = remote->transport;
  return recorded.connect_result;
}

transport_module_t recording_module = {
    "recording", nullptr, nullptr, RecordingListen, RecordingConnect, RecordingAccept, nullptr,
    nullptr,     nullptr, nullptr, nullptr,         nullptr,          nullptr};

TEST(TransportCallLayer, ConnectHandsTheModuleThirtySeconds) {
  transport_instance_t instance = {};
  instance.module = &recording_module;
  transport_endpoint_t endpoint = {};
  recorded = {};
  EXPECT_EQ(TRANSPORT_connect(&instance, &endpoint, "x"), 0);
  ASSERT_FALSE(recorded.timeout_was_null);
  EXPECT_EQ(recorded.timeout.tv_sec, 30);
  EXPECT_EQ(recorded.timeout.tv_usec, 0);
  EXPECT_EQ(recorded.transport_at_call, &instance);
  EXPECT_EQ(endpoint.transport, &instance);
}

TEST(TransportCallLayer, FailedOperationsDetachTheEndpoint) {
  transport_instance_t instance = {};
  instance.module = &recording_module;
  recorded = {};
  recorded.connect_result = QIVA_ERR_AGAIN;
  transport_endpoint_t endpoint = {};
  EXPECT_EQ(TRANSPORT_connect_timeout(&instance, &endpoint, "x", nullptr), QIVA_ERR_AGAIN);
  EXPECT_TRUE(recorded.timeout_was_null);
  EXPECT_EQ(recorded.transport_at_call, &instance);  // set while the module ran
  EXPECT_EQ(endpoint.transport, nullptr);
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);  // nothing to close after a failed connect

  EXPECT_EQ(TRANSPORT_listen(&instance, &endpoint, "x"), QIVA_ERR_AGAIN);
  EXPECT_EQ(endpoint.transport, nullptr);

  recorded.connect_result = 0;
  ASSERT_EQ(TRANSPORT_listen(&instance, &endpoint, "x"), 0);
  recorded.connect_result = QIVA_ERR_TRANSPORT;
  transport_endpoint_t remote = {};
  EXPECT_EQ(TRANSPORT_accept(&endpoint, &remote), QIVA_ERR_TRANSPORT);
  EXPECT_EQ(recorded.transport_at_call, &instance);
  EXPECT_EQ(remote.transport, nullptr);

  // Missing operations are reported, not called.
  EXPECT_EQ(TRANSPORT_close(&endpoint), QIVA_ERR_NOTIMPL);
  EXPECT_EQ(TRANSPORT_set_blocking(&endpoint, 1), QIVA_ERR_NOTIMPL);
}

TEST(NullTransport, EverythingSucceedsAndNothingMoves) {
  veska_test::Instance instance("null");
  ASSERT_EQ(instance.init_result(), 0);
  EXPECT_EQ(instance.get()->module, &null_transport_module);
  transport_endpoint_t endpoint = {};
  ASSERT_EQ(TRANSPORT_connect(instance.get(), &endpoint, "not even an address"), 0);
  char buf[500];
  memset(buf, 'x', sizeof buf);
  uint32_t size = 500;
  EXPECT_EQ(TRANSPORT_send(&endpoint, buf, &size), 0);
  EXPECT_EQ(size, 500u);
  size = 500;
  EXPECT_EQ(TRANSPORT_receive(&endpoint, buf, &size), 0);
  EXPECT_EQ(size, 500u);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(buf[499], 'x');
  EXPECT_EQ(TRANSPORT_set_blocking(&endpoint, 1), 0);
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
}

TEST(NullTransport, DispatchEndsAtOnce) {
  veska_test::Instance instance("null");
  ASSERT_EQ(instance.init_result(), 0);
  EXPECT_EQ(null_transport_module.dispatch_function(instance.get(), nullptr), QIVA_ERR_AGAIN);
  EXPECT_EQ(TRANSPORT_dispatch(instance.get(), nullptr), 0);
}

}  // namespace
