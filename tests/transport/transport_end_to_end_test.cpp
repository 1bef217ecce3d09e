// A client on TRANSPORT_connect_timeout against a server built on TRANSPORT_listen, accept and
// dispatch in its own thread: every byte sent arrives intact and in order.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "lib/transport/transport.h"
#include "transport_test_util.h"
#include "types.h"

namespace {

struct Server {
  transport_instance_t instance = {};
  transport_endpoint_t listener = {};
  transport_endpoint_t connection = {};
  bool accepted = false;
  std::string received;
  std::promise<std::string> address;
  int dispatch_result = -1;
};

Server *ServerOf(transport_endpoint_t *endpoint) {
  return static_cast<Server *>(endpoint->transport->userdata);
}

// Accepts the one client, then reads it to its end; closing both endpoints leaves nothing to
// wait for, which ends TRANSPORT_dispatch with 0.
int ServerReadable(transport_endpoint_t *endpoint) {
  Server *server = ServerOf(endpoint);
  if (endpoint == &server->listener) {
    if (server->accepted) return 0;
    int rc = TRANSPORT_accept(&server->listener, &server->connection);
    if (rc == QIVA_ERR_AGAIN) return 0;
    server->accepted = rc == 0;
    return rc;
  }
  char buf[8192];
  uint32_t size = sizeof buf;
  int rc = TRANSPORT_receive(endpoint, buf, &size);
  if (rc == QIVA_ERR_AGAIN) return 0;
  if (rc != 0) return rc;
  if (size == 0) {
    rc = TRANSPORT_close(&server->connection);
    int listener_rc = TRANSPORT_close(&server->listener);
    return rc != 0 ? rc : listener_rc;
  }
  server->received.append(buf, size);
  return 0;
}

void RunServer(Server *server) {
  if (TRANSPORT_init(&server->instance, "tcp") != 0) {
    server->address.set_value("");
    return;
  }
  server->instance.userdata = server;
  server->instance.on_readable = ServerReadable;
  if (TRANSPORT_listen(&server->instance, &server->listener, "127.0.0.1:0") != 0) {
    server->address.set_value("");
  } else {
    server->address.set_value(server->listener.str_addr);
    ve_time_t quiet_limit = {20, 0};  // per pass; only reached if the client stalls
    server->dispatch_result = TRANSPORT_dispatch(&server->instance, &quiet_limit);
  }
  TRANSPORT_destroy(&server->instance);
}

TEST(TransportEndToEnd, BytesSentArriveIntact) {
  Server server;
  std::future<std::string> address = server.address.get_future();
  std::thread thread(RunServer, &server);
  ASSERT_EQ(address.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  std::string server_address = address.get();
  ASSERT_FALSE(server_address.empty());

  std::string payload;
  for (int i = 0; i < 300000; ++i) payload.push_back(static_cast<char>((i * 131 + i / 251) & 0xff));

  veska_test::Instance client("tcp");
  ASSERT_EQ(client.init_result(), 0);
  transport_endpoint_t endpoint = {};
  struct timeval timeout = {10, 0};
  ASSERT_EQ(TRANSPORT_connect_timeout(client.get(), &endpoint, server_address.c_str(), &timeout),
            0);
  ASSERT_EQ(TRANSPORT_set_blocking(&endpoint, 1), 0);
  size_t offset = 0;
  for (int calls = 0; offset < payload.size() && calls < 100000; ++calls) {
    uint32_t size = static_cast<uint32_t>(std::min<size_t>(payload.size() - offset, 65535));
    ASSERT_EQ(TRANSPORT_send(&endpoint, payload.data() + offset, &size), 0);
    offset += size;
  }
  EXPECT_EQ(offset, payload.size());
  EXPECT_EQ(TRANSPORT_close(&endpoint), 0);

  thread.join();
  EXPECT_EQ(server.dispatch_result, 0);
  EXPECT_TRUE(server.accepted);
  EXPECT_EQ(server.received.size(), payload.size());
  EXPECT_TRUE(server.received == payload);
}

}  // namespace
