// Listening, accepting, address text, dispatch passes and destroy of the TCP module.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lib/transport/tcp-internal.h"
#include "lib/transport/transport.h"
#include "transport_test_util.h"
#include "types.h"

namespace {

using veska_test::Instance;

tcp_endpoint_info *RecordOf(const transport_endpoint_t &endpoint) {
  return static_cast<tcp_endpoint_info *>(endpoint.internal.module);
}

tcp_transport_info *InfoOf(transport_instance_t *instance) {
  return static_cast<tcp_transport_info *>(instance->internal.module);
}

int PortOf(const transport_endpoint_t &endpoint) {
  std::string text = endpoint.str_addr;
  size_t colon = text.rfind(':');
  return colon == std::string::npos ? -1 : std::stoi(text.substr(colon + 1));
}

// Accepts one connection once it is pending, waiting at most 10 s.
int AcceptPending(transport_endpoint_t *listener, transport_endpoint_t *remote) {
  struct pollfd p = {RecordOf(*listener)->socket, POLLIN, 0};
  if (poll(&p, 1, 10000) != 1) return -1;
  return TRANSPORT_accept(listener, remote);
}

class TcpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(instance_.init_result(), 0);
    tcp()->userdata = this;
  }
  transport_instance_t *tcp() { return instance_.get(); }
  // Listens on 127.0.0.1 with an ephemeral port.
  void Listen(transport_endpoint_t *endpoint) {
    ASSERT_EQ(TRANSPORT_listen(tcp(), endpoint, "127.0.0.1:0"), 0);
    ASSERT_GT(PortOf(*endpoint), 0);
  }
  int ListedRecords() {
    int count = 0;
    for (tcp_endpoint_info *r = InfoOf(tcp())->endpoint_info; r != nullptr; r = r->next) ++count;
    return count;
  }
  Instance instance_{"tcp"};
};

TEST_F(TcpServerTest, ListenOnPortZeroShowsTheChosenPort) {
  transport_endpoint_t any = {};
  ASSERT_EQ(TRANSPORT_listen(tcp(), &any, "0.0.0.0:0"), 0);
  std::string text = any.str_addr;
  ASSERT_EQ(text.rfind("0.0.0.0:", 0), 0u) << text;
  EXPECT_EQ(PortOf(any), veska_test::LocalPort(RecordOf(any)->socket));
  EXPECT_GT(PortOf(any), 0);
  EXPECT_NE(fcntl(RecordOf(any)->socket, F_GETFL, 0) & O_NONBLOCK, 0);
  int keepalive = 0;
  socklen_t length = sizeof keepalive;
  getsockopt(RecordOf(any)->socket, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &length);
  EXPECT_EQ(keepalive, 1);
  EXPECT_EQ(TRANSPORT_close(&any), 0);
  EXPECT_EQ(ListedRecords(), 0);
}

TEST_F(TcpServerTest, SecondListenOnTheSamePortFails) {
  transport_endpoint_t first = {}, second = {};
  Listen(&first);
  std::string address = veska_test::LoopbackAddress(PortOf(first));
  EXPECT_EQ(TRANSPORT_listen(tcp(), &second, address.c_str()), QIVA_ERR_TRANSPORT);
  EXPECT_EQ(second.transport, nullptr);
  EXPECT_EQ(TRANSPORT_listen(tcp(), &second, "127.0.0.1"), QIVA_ERR_INVALID);
  EXPECT_EQ(ListedRecords(), 1);
  EXPECT_EQ(TRANSPORT_close(&first), 0);
}

TEST_F(TcpServerTest, AcceptWithNothingPendingIsAgain) {
  transport_endpoint_t listener = {}, remote = {};
  Listen(&listener);
  EXPECT_EQ(TRANSPORT_accept(&listener, &remote), QIVA_ERR_AGAIN);
  EXPECT_EQ(remote.transport, nullptr);
  EXPECT_EQ(remote.internal.module, nullptr);
  EXPECT_EQ(ListedRecords(), 1);
  EXPECT_EQ(TRANSPORT_close(&listener), 0);
}

TEST_F(TcpServerTest, AcceptedIpv4PeerIsShownWithItsPort) {
  transport_endpoint_t listener = {}, remote = {};
  Listen(&listener);
  int client = veska_test::RawConnect(PortOf(listener));
  ASSERT_GE(client, 0);
  ASSERT_EQ(AcceptPending(&listener, &remote), 0);
  EXPECT_EQ(remote.transport, tcp());
  EXPECT_EQ(std::string(remote.str_addr),
            veska_test::LoopbackAddress(veska_test::LocalPort(client)));
  EXPECT_GT(remote.connect_time.sec, 0u);
  EXPECT_NE(fcntl(RecordOf(remote)->socket, F_GETFL, 0) & O_NONBLOCK, 0);
  EXPECT_EQ(ListedRecords(), 2);
  EXPECT_EQ(TRANSPORT_close(&remote), 0);
  EXPECT_EQ(TRANSPORT_close(&listener), 0);
  close(client);
}

TEST_F(TcpServerTest, AcceptedIpv6PeerIsBracketed) {
  transport_endpoint_t listener = {}, remote = {};
  if (TRANSPORT_listen(tcp(), &listener, "[::1]:0") != 0) GTEST_SKIP() << "no IPv6 loopback";
  EXPECT_EQ(std::string(listener.str_addr), "[::1]:" + std::to_string(PortOf(listener)));
  int client = veska_test::RawConnect(PortOf(listener), true);
  ASSERT_GE(client, 0);
  ASSERT_EQ(AcceptPending(&listener, &remote), 0);
  EXPECT_EQ(std::string(remote.str_addr), "[::1]:" + std::to_string(veska_test::LocalPort(client)));
  EXPECT_EQ(TRANSPORT_close(&remote), 0);
  EXPECT_EQ(TRANSPORT_close(&listener), 0);
  close(client);
}

TEST(TcpAddressText, FormatsBothFamiliesAndRefusesOthers) {
  struct sockaddr_in v4 = {};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(5455);
  inet_pton(AF_INET, "127.0.0.1", &v4.sin_addr);
  char text[128];
  ASSERT_EQ(_address_to_string(reinterpret_cast<sockaddr *>(&v4), text, 127), 0);
  EXPECT_STREQ(text, "127.0.0.1:5455");

  struct sockaddr_in6 v6 = {};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(5455);
  v6.sin6_addr = in6addr_loopback;
  ASSERT_EQ(_address_to_string(reinterpret_cast<sockaddr *>(&v6), text, 127), 0);
  EXPECT_STREQ(text, "[::1]:5455");

  struct sockaddr unix_family = {};
  unix_family.sa_family = AF_UNIX;
  EXPECT_EQ(_address_to_string(&unix_family, text, 127), QIVA_ERR_INVALID);
  // Too little room for the numeric text is a failed conversion, never an overrun.
  char small[6];
  memset(small, 'z', sizeof small);
  EXPECT_EQ(_address_to_string(reinterpret_cast<sockaddr *>(&v4), small, 5), QIVA_ERR_TRANSPORT);
  EXPECT_EQ(small[5], 'z');
  EXPECT_EQ(_address_to_string(reinterpret_cast<sockaddr *>(&v6), small, 2), QIVA_ERR_TRANSPORT);
  // Room for the address but not the whole port: cut short and terminated.
  char cut[12];
  ASSERT_EQ(_address_to_string(reinterpret_cast<sockaddr *>(&v4), cut, sizeof cut), 0);
  EXPECT_STREQ(cut, "127.0.0.1:5");
}

// ---- Dispatch passes -------------------------------------------------------------------

class TcpDispatchTest : public TcpServerTest {
 protected:
  static TcpDispatchTest *Self(transport_endpoint_t *endpoint) {
    return static_cast<TcpDispatchTest *>(endpoint->transport->userdata);
  }
  static int Readable(transport_endpoint_t *endpoint) {
    TcpDispatchTest *self = Self(endpoint);
    self->readable_calls.push_back(endpoint);
    return self->on_readable_(endpoint);
  }
  static int Writeable(transport_endpoint_t *endpoint) {
    Self(endpoint)->writeable_calls.push_back(endpoint);
    return 0;
  }
  static int NotWriteable(transport_endpoint_t *) { return 1; }

  // A listener, a raw client connected to it and the accepted endpoint.
  void Connect() {
    Listen(&listener);
    client = veska_test::RawConnect(PortOf(listener));
    ASSERT_GE(client, 0);
    ASSERT_EQ(AcceptPending(&listener, &accepted), 0);
  }
  void TearDown() override {
    TRANSPORT_close(&accepted);
    TRANSPORT_close(&listener);
    if (client >= 0) close(client);
  }

 public:
  std::vector<transport_endpoint_t *> readable_calls, writeable_calls;
  int (*on_readable_)(transport_endpoint_t *) = [](transport_endpoint_t *) { return 0; };
  transport_endpoint_t listener = {}, accepted = {};
  int client = -1;
  ve_time_t short_wait = {0, 100000};
  ve_time_t long_wait = {10, 0};
};

TEST_F(TcpDispatchTest, NothingToWaitForIsAgain) {
  tcp()->on_readable = Readable;
  EXPECT_EQ(_tcp_dispatch(tcp(), &short_wait), QIVA_ERR_AGAIN);
  EXPECT_EQ(TRANSPORT_dispatch(tcp(), &short_wait), 0);
  // Endpoints, but no handlers: nothing is watched either.
  tcp()->on_readable = nullptr;
  Listen(&listener);
  EXPECT_EQ(_tcp_dispatch(tcp(), nullptr), QIVA_ERR_AGAIN);
  EXPECT_EQ(TRANSPORT_dispatch(tcp(), nullptr), 0);
  EXPECT_TRUE(readable_calls.empty());
}

TEST_F(TcpDispatchTest, QuietPassTimesOut) {
  tcp()->on_readable = Readable;
  Connect();
  EXPECT_EQ(_tcp_dispatch(tcp(), &short_wait), QIVA_ERR_TIMEDOUT);
  EXPECT_EQ(TRANSPORT_dispatch(tcp(), &short_wait), QIVA_ERR_TIMEDOUT);
  EXPECT_TRUE(readable_calls.empty());
}

TEST_F(TcpDispatchTest, NullTimeOutWaitsForReadiness) {
  tcp()->on_readable = Readable;
  Connect();
  ASSERT_EQ(send(client, "ping", 4, 0), 4);
  on_readable_ = [](transport_endpoint_t *endpoint) {
    char buf[8];
    uint32_t size = sizeof buf;
    int rc = TRANSPORT_receive(endpoint, buf, &size);
    return rc == 0 && size == 4 ? 0 : 99;
  };
  EXPECT_EQ(_tcp_dispatch(tcp(), nullptr), 0);
  ASSERT_EQ(readable_calls.size(), 1u);
  EXPECT_EQ(readable_calls[0], &accepted);
}

TEST_F(TcpDispatchTest, FirstHandlerFailureIsThePassResult) {
  tcp()->on_readable = Readable;
  Connect();
  // Two ready endpoints: the listener (a second client is pending) and the accepted one.
  int second = veska_test::RawConnect(PortOf(listener));
  ASSERT_GE(second, 0);
  ASSERT_EQ(send(client, "x", 1, 0), 1);
  struct pollfd p[2] = {{RecordOf(listener)->socket, POLLIN, 0},
                        {RecordOf(accepted)->socket, POLLIN, 0}};
  for (int i = 0; i < 100 && poll(p, 2, 100) < 2; ++i) {
  }
  on_readable_ = [](transport_endpoint_t *endpoint) {
    return Self(endpoint)->readable_calls.size() == 1 ? 101 : 102;
  };
  EXPECT_EQ(_tcp_dispatch(tcp(), &long_wait), 101);
  EXPECT_EQ(readable_calls.size(), 2u);  // the failure did not stop the other handler
  close(second);
}

TEST_F(TcpDispatchTest, CloseFromAHandlerIsDeferredToTheNextPass) {
  tcp()->on_readable = Readable;
  Connect();
  ASSERT_EQ(send(client, "bye", 3, 0), 3);
  static int close_results[2];
  static tcp_endpoint_info *closed_record;
  on_readable_ = [](transport_endpoint_t *endpoint) {
    closed_record = RecordOf(*endpoint);
    close_results[0] = TRANSPORT_close(endpoint);
    close_results[1] = TRANSPORT_close(endpoint);
    return 0;
  };
  ASSERT_EQ(ListedRecords(), 2);
  EXPECT_EQ(_tcp_dispatch(tcp(), &long_wait), 0);
  EXPECT_EQ(close_results[0], 0);
  EXPECT_EQ(close_results[1], 0);
  // Still listed, marked closed, until the next pass.
  EXPECT_EQ(ListedRecords(), 2);
  EXPECT_EQ(InfoOf(tcp())->endpoint_info, closed_record);
  EXPECT_EQ(closed_record->closed, 1);
  EXPECT_EQ(closed_record->ev, nullptr);
  EXPECT_EQ(TRANSPORT_close(&accepted), 0);
  EXPECT_EQ(_tcp_dispatch(tcp(), &short_wait), QIVA_ERR_TIMEDOUT);
  EXPECT_EQ(ListedRecords(), 1);
  EXPECT_EQ(InfoOf(tcp())->endpoint_info, RecordOf(listener));
}

TEST_F(TcpDispatchTest, EventsAreReusedReassignedAndFreed) {
  tcp()->on_writeable = Writeable;
  Connect();
  tcp_endpoint_info *record = RecordOf(accepted);
  // Both the listener and the accepted socket are watched for writing; the accepted one is
  // writeable at once.
  EXPECT_EQ(_tcp_dispatch(tcp(), &long_wait), 0);
  ASSERT_FALSE(writeable_calls.empty());
  EXPECT_EQ(record->ev_type, 4);
  struct event *first = record->ev;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(_tcp_dispatch(tcp(), &long_wait), 0);
  EXPECT_EQ(record->ev, first);  // same kinds: the event is re-armed, not replaced

  tcp()->on_readable = Readable;
  EXPECT_EQ(_tcp_dispatch(tcp(), &long_wait), 0);
  EXPECT_EQ(record->ev_type, 6);
  EXPECT_EQ(record->ev, first);  // new kinds: the same event object, re-assigned

  // A predicate that says "not writeable" disarms writing; with nothing else watched the
  // event goes, and with nothing armed at all the pass reports it.
  tcp()->on_readable = nullptr;
  tcp()->is_writeable = NotWriteable;
  writeable_calls.clear();
  EXPECT_EQ(_tcp_dispatch(tcp(), &short_wait), QIVA_ERR_AGAIN);
  EXPECT_EQ(record->ev_type, 0);
  EXPECT_EQ(record->ev, nullptr);
  EXPECT_EQ(RecordOf(listener)->ev, nullptr);
  EXPECT_TRUE(writeable_calls.empty());

  tcp()->on_readable = Readable;
  EXPECT_EQ(_tcp_dispatch(tcp(), &short_wait), QIVA_ERR_TIMEDOUT);
  EXPECT_EQ(record->ev_type, 2);
}

TEST_F(TcpDispatchTest, HandlerFailureEndsTransportDispatch) {
  tcp()->on_readable = Readable;
  Connect();
  ASSERT_EQ(send(client, "x", 1, 0), 1);
  on_readable_ = [](transport_endpoint_t *) { return QIVA_ERR_LOGIC; };
  EXPECT_EQ(TRANSPORT_dispatch(tcp(), &long_wait), QIVA_ERR_LOGIC);
}

TEST(TcpDestroy, FreesRecordsStillListed) {
  transport_instance_t instance = {};
  ASSERT_EQ(TRANSPORT_init(&instance, "tcp"), 0);
  instance.on_readable = [](transport_endpoint_t *) { return 0; };
  transport_endpoint_t listener = {}, client = {}, accepted = {};
  ASSERT_EQ(TRANSPORT_listen(&instance, &listener, "127.0.0.1:0"), 0);
  std::string address = veska_test::LoopbackAddress(PortOf(listener));
  ASSERT_EQ(TRANSPORT_connect(&instance, &client, address.c_str()), 0);
  ASSERT_EQ(AcceptPending(&listener, &accepted), 0);
  ve_time_t wait = {0, 50000};
  // Gives every record an armed event, and one a deferred close.
  instance.on_readable = [](transport_endpoint_t *endpoint) { return TRANSPORT_close(endpoint); };
  ASSERT_EQ(send(RecordOf(client)->socket, "x", 1, 0), 1);
  EXPECT_EQ(_tcp_dispatch(&instance, &wait), 0);
  std::vector<int> sockets;
  for (auto *r = InfoOf(&instance)->endpoint_info; r != nullptr; r = r->next) {
    if (r->socket >= 0) sockets.push_back(r->socket);
  }
  EXPECT_EQ(sockets.size(), 2u);
  EXPECT_EQ(TRANSPORT_destroy(&instance), 0);
  EXPECT_EQ(instance.internal.module, nullptr);
  // Destroy leaves sockets open; the test closes them. Leaks would show under ASan.
  for (int s : sockets) EXPECT_EQ(close(s), 0);
}

}  // namespace
