// What every registered transport promises its owner, run over the "null" and "tcp" modules.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "lib/transport/transport.h"
#include "transport_test_util.h"
#include "types.h"

namespace {

using veska_test::Instance;
using veska_test::RawListener;

class TransportContractTest : public ::testing::TestWithParam<const char *> {
 protected:
  void SetUp() override { ASSERT_EQ(instance_.init_result(), 0); }
  bool is_tcp() const { return strcmp(GetParam(), "tcp") == 0; }
  transport_instance_t *transport() { return instance_.get(); }
  Instance instance_{GetParam()};
  RawListener listener_;
};

TEST_P(TransportContractTest, InitRecordsTheModule) {
  ASSERT_NE(transport()->module, nullptr);
  EXPECT_STREQ(transport()->module->name, GetParam());
  EXPECT_EQ(transport()->module, TRANSPORT_lookup(GetParam()));
}

TEST_P(TransportContractTest, AcceptsAWellFormedLoopbackAddress) {
  EXPECT_EQ(TRANSPORT_check_address(GetParam(), "127.0.0.1:5455"), 0);
  EXPECT_EQ(QIVA_check_address(GetParam(), "[::1]:5455"), 0);
}

TEST_P(TransportContractTest, ConnectBlockSendClose) {
  transport_endpoint_t endpoint = {};
  struct timeval timeout = {10, 0};
  ASSERT_EQ(
      TRANSPORT_connect_timeout(transport(), &endpoint, listener_.address().c_str(), &timeout), 0);
  EXPECT_EQ(endpoint.transport, transport());
  EXPECT_EQ(TRANSPORT_set_blocking(&endpoint, 1), 0);
  char buf[500];
  memset(buf, 'v', sizeof buf);
  uint32_t size = sizeof buf;
  EXPECT_EQ(TRANSPORT_send(&endpoint, buf, &size), 0);
  EXPECT_EQ(size, 500u);  // a blocking send of this little moves it all
  if (is_tcp()) {
    int peer = listener_.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(veska_test::ReadExactly(peer, 500), std::string(500, 'v'));
    close(peer);
  }
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
}

TEST_P(TransportContractTest, NeverConnectedEndpointNeedsNoClose) {
  transport_endpoint_t endpoint = {};
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
  EXPECT_EQ(TRANSPORT_set_blocking(&endpoint, 1), QIVA_ERR_INVALID);
}

TEST_P(TransportContractTest, ListenAndClose) {
  transport_endpoint_t endpoint = {};
  ASSERT_EQ(TRANSPORT_listen(transport(), &endpoint, "127.0.0.1:0"), 0);
  EXPECT_EQ(endpoint.transport, transport());
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
}

TEST_P(TransportContractTest, DispatchWithNothingToWaitForReturnsAtOnce) {
  ve_time_t wait = {1, 0};
  EXPECT_EQ(TRANSPORT_dispatch(transport(), &wait), 0);
  EXPECT_EQ(TRANSPORT_dispatch(transport(), nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, TransportContractTest, ::testing::Values("null", "tcp"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                           return std::string(info.param);
                         });

}  // namespace
