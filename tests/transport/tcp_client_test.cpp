// The TCP client path against raw loopback peers: connect outcomes, mode switch, send,
// receive and close.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lib/transport/tcp-internal.h"
#include "lib/transport/transport.h"
#include "transport_test_util.h"
#include "types.h"

namespace {

using veska_test::Instance;
using veska_test::RawListener;

int SocketOf(const transport_endpoint_t &endpoint) {
  auto *record = static_cast<tcp_endpoint_info *>(endpoint.internal.module);
  return record != nullptr ? record->socket : -1;
}

bool IsNonBlocking(int s) { return (fcntl(s, F_GETFL, 0) & O_NONBLOCK) != 0; }

int ListedRecords(transport_instance_t *instance) {
  auto *info = static_cast<tcp_transport_info *>(instance->internal.module);
  int count = 0;
  for (tcp_endpoint_info *r = info->endpoint_info; r != nullptr; r = r->next) ++count;
  return count;
}

class TcpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(instance_.init_result(), 0); }
  transport_instance_t *tcp() { return instance_.get(); }
  // Connects endpoint to listener (switched to blocking mode when asked) and accepts the
  // listener's side into *peer.
  void Connect(RawListener *listener, transport_endpoint_t *endpoint, int *peer, bool blocking) {
    ASSERT_EQ(TRANSPORT_connect(tcp(), endpoint, listener->address().c_str()), 0);
    if (blocking) ASSERT_EQ(TRANSPORT_set_blocking(endpoint, 1), 0);
    *peer = listener->Accept();
    ASSERT_GE(*peer, 0);
  }
  Instance instance_{"tcp"};
};

TEST_F(TcpClientTest, RefusedConnectIsPassingAndLeavesNothingToClose) {
  int port = veska_test::UnusedPort();
  ASSERT_GT(port, 0);
  transport_endpoint_t endpoint = {};
  struct timeval timeout = {5, 0};
  std::string address = veska_test::LoopbackAddress(port);
  EXPECT_EQ(TRANSPORT_connect_timeout(tcp(), &endpoint, address.c_str(), &timeout), QIVA_ERR_AGAIN);
  EXPECT_EQ(endpoint.transport, nullptr);
  EXPECT_EQ(endpoint.internal.module, nullptr);
  EXPECT_EQ(ListedRecords(tcp()), 0);
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
}

TEST_F(TcpClientTest, MalformedAddressFailsBeforeAnySocket) {
  transport_endpoint_t endpoint = {};
  EXPECT_EQ(TRANSPORT_connect(tcp(), &endpoint, "127.0.0.1"), QIVA_ERR_INVALID);
  EXPECT_EQ(TRANSPORT_connect(tcp(), &endpoint, "::1:5455"), QIVA_ERR_TRANSPORT);
  EXPECT_EQ(endpoint.transport, nullptr);
  EXPECT_EQ(ListedRecords(tcp()), 0);
}

TEST_F(TcpClientTest, UnansweredConnectTimesOut) {
  // A listener that never accepts, its accept queue filled by extra clients: a further SYN
  // is dropped, so the connect below never completes.
  RawListener listener(0);
  ASSERT_GT(listener.port(), 0);
  std::vector<int> fillers;
  bool full = false;
  for (int i = 0; i < 32 && !full; ++i) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(listener.port()));
    connect(s, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    fillers.push_back(s);
    struct pollfd p = {s, POLLOUT, 0};
    full = poll(&p, 1, 500) == 0;
  }
  ASSERT_TRUE(full) << "the accept queue never filled";

  transport_endpoint_t endpoint = {};
  struct timeval timeout = {0, 300000};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TRANSPORT_connect_timeout(tcp(), &endpoint, listener.address().c_str(), &timeout),
            QIVA_ERR_TIMEDOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_EQ(endpoint.transport, nullptr);
  EXPECT_EQ(ListedRecords(tcp()), 0);
  for (int s : fillers) close(s);
}

TEST_F(TcpClientTest, ConnectSwitchSendAndReceive) {
  RawListener listener;
  transport_endpoint_t endpoint = {};
  ASSERT_EQ(TRANSPORT_connect(tcp(), &endpoint, listener.address().c_str()), 0);
  EXPECT_EQ(endpoint.transport, tcp());
  EXPECT_EQ(ListedRecords(tcp()), 1);
  int peer = listener.Accept();
  ASSERT_GE(peer, 0);

  // Connected sockets are left non-blocking; the switch is idempotent.
  EXPECT_TRUE(IsNonBlocking(SocketOf(endpoint)));
  EXPECT_EQ(TRANSPORT_set_blocking(&endpoint, 1), 0);
  EXPECT_FALSE(IsNonBlocking(SocketOf(endpoint)));
  EXPECT_EQ(TRANSPORT_set_blocking(&endpoint, 1), 0);
  EXPECT_FALSE(IsNonBlocking(SocketOf(endpoint)));

  const std::string message = "hello, collector";
  uint32_t size = static_cast<uint32_t>(message.size());
  ASSERT_EQ(TRANSPORT_send(&endpoint, message.data(), &size), 0);
  EXPECT_EQ(size, message.size());
  EXPECT_EQ(veska_test::ReadExactly(peer, message.size()), message);

  ASSERT_EQ(send(peer, "reply", 5, 0), 5);
  char buf[16] = {};
  size = sizeof buf;
  ASSERT_EQ(TRANSPORT_receive(&endpoint, buf, &size), 0);  // blocking now: waits for it
  EXPECT_EQ(std::string(buf, size), "reply");

  // Peer closed: a receive reports 0 bytes.
  close(peer);
  size = sizeof buf;
  EXPECT_EQ(TRANSPORT_receive(&endpoint, buf, &size), 0);
  EXPECT_EQ(size, 0u);

  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
  EXPECT_EQ(ListedRecords(tcp()), 0);
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);  // a second close is harmless
}

TEST_F(TcpClientTest, NonBlockingReceiveWithNothingToReadIsAgain) {
  RawListener listener;
  transport_endpoint_t endpoint = {};
  int peer = -1;
  ASSERT_NO_FATAL_FAILURE(Connect(&listener, &endpoint, &peer, false));
  char buf[8];
  uint32_t size = sizeof buf;
  EXPECT_EQ(TRANSPORT_receive(&endpoint, buf, &size), QIVA_ERR_AGAIN);
  EXPECT_EQ(size, sizeof buf);  // unchanged on failure
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
  close(peer);
}

volatile sig_atomic_t sigpipe_count = 0;
void CountSigpipe(int) { sigpipe_count = sigpipe_count + 1; }

TEST_F(TcpClientTest, SendToResetPeerIsTransportErrorWithoutSignal) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = CountSigpipe;
  sigaction(SIGPIPE, &action, &previous);
  sigpipe_count = 0;

  RawListener listener;
  transport_endpoint_t endpoint = {};
  int peer = -1;
  ASSERT_NO_FATAL_FAILURE(Connect(&listener, &endpoint, &peer, true));
  struct linger abort_on_close = {1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  close(peer);  // sends a reset

  // The first sends may still succeed until the reset has been seen.
  int rc = 0;
  char byte = 'x';
  for (int i = 0; i < 200 && rc == 0; ++i) {
    uint32_t size = 1;
    rc = TRANSPORT_send(&endpoint, &byte, &size);
    if (rc == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(rc, QIVA_ERR_TRANSPORT);
  EXPECT_EQ(sigpipe_count, 0);
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
  sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(TcpClientTest, ClosedEndpointRefusesFurtherUse) {
  RawListener listener;
  transport_endpoint_t endpoint = {};
  ASSERT_EQ(TRANSPORT_connect(tcp(), &endpoint, listener.address().c_str()), 0);
  ASSERT_EQ(TRANSPORT_close(&endpoint), 0);
  // The endpoint keeps its instance but no longer has a socket.
  EXPECT_EQ(TRANSPORT_set_blocking(&endpoint, 1), -1);
  EXPECT_EQ(TRANSPORT_set_blocking(&endpoint, 0), -1);
  char byte = 'x';
  uint32_t size = 1;
  EXPECT_EQ(TRANSPORT_send(&endpoint, &byte, &size), QIVA_ERR_TRANSPORT);
  EXPECT_EQ(TRANSPORT_receive(&endpoint, &byte, &size), QIVA_ERR_TRANSPORT);
  EXPECT_EQ(size, 1u);
  // It may be connected anew.
  ASSERT_EQ(TRANSPORT_connect(tcp(), &endpoint, listener.address().c_str()), 0);
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);
}

TEST_F(TcpClientTest, PeerClosedIsSeenWithoutBlockingBeforeAnyWrite) {
  RawListener listener;
  transport_endpoint_t endpoint = {};
  int peer = -1;
  ASSERT_NO_FATAL_FAILURE(Connect(&listener, &endpoint, &peer, true));
  EXPECT_EQ(0, TRANSPORT_TCP_peer_closed(&endpoint));
  close(peer);  // nothing unread: an orderly close
  int closed = 0;
  for (int i = 0; i < 1000 && closed == 0; ++i) {
    closed = TRANSPORT_TCP_peer_closed(&endpoint);
    if (closed == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(1, closed);
  EXPECT_EQ(0, TRANSPORT_close(&endpoint));
  EXPECT_EQ(0, TRANSPORT_TCP_peer_closed(&endpoint));  // closed endpoint: nothing to ask
}

}  // namespace
