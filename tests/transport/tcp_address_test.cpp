// Parsing "host:port" and "[v6]:port" into resolved lists, and the TCP address check.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

#include <set>

#include "lib/transport/tcp-internal.h"
#include "lib/transport/transport.h"
#include "types.h"

namespace {

struct Parsed {
  int rc;
  std::set<int> families;
  std::set<int> ports;  // of the IPv4 and IPv6 entries
};

Parsed Parse(const char *address) {
  Parsed parsed;
  struct addrinfo *list = nullptr;
  parsed.rc = TRANSPORT_TCP_parse_address(address, &list);
  if (parsed.rc != 0) {
    EXPECT_EQ(list, nullptr) << address << ": no list on failure";
    return parsed;
  }
  for (struct addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
    parsed.families.insert(entry->ai_family);
    if (entry->ai_family == AF_INET) {
      parsed.ports.insert(ntohs(reinterpret_cast<sockaddr_in *>(entry->ai_addr)->sin_port));
    } else if (entry->ai_family == AF_INET6) {
      parsed.ports.insert(ntohs(reinterpret_cast<sockaddr_in6 *>(entry->ai_addr)->sin6_port));
    }
  }
  freeaddrinfo(list);
  return parsed;
}

TEST(TcpAddress, ResolvesDottedAndBracketedHosts) {
  Parsed v4 = Parse("127.0.0.1:5455");
  ASSERT_EQ(v4.rc, 0);
  EXPECT_EQ(v4.families, std::set<int>{AF_INET});
  EXPECT_EQ(v4.ports, std::set<int>{5455});

  Parsed v6 = Parse("[::1]:5455");
  ASSERT_EQ(v6.rc, 0);
  EXPECT_EQ(v6.families, std::set<int>{AF_INET6});
  EXPECT_EQ(v6.ports, std::set<int>{5455});

  // Text between the ']' and the ':' is ignored.
  Parsed ignored = Parse("[::1]x:5455");
  ASSERT_EQ(ignored.rc, 0);
  EXPECT_EQ(ignored.families, v6.families);
  EXPECT_EQ(ignored.ports, v6.ports);
}

TEST(TcpAddress, MalformedAddressesAreInvalid) {
  EXPECT_EQ(Parse("[::1:5455").rc, QIVA_ERR_INVALID);   // no ']'
  EXPECT_EQ(Parse("localhost").rc, QIVA_ERR_INVALID);   // no ':'
  EXPECT_EQ(Parse("[::1]").rc, QIVA_ERR_INVALID);       // no ':' after the ']'
  EXPECT_EQ(Parse("localhost:").rc, QIVA_ERR_INVALID);  // no number
  EXPECT_EQ(Parse("localhost:abc").rc, QIVA_ERR_INVALID);
  EXPECT_EQ(Parse("localhost:65536").rc, QIVA_ERR_INVALID);
  EXPECT_EQ(Parse("localhost:-1").rc, QIVA_ERR_INVALID);  // the sign wraps to a large value
  // Values that would wrap an unsigned int to a valid port are still too large.
  for (const char *address : {"127.0.0.1:4294967296", "127.0.0.1:4294972751",
                              "127.0.0.1:99999999999999999999", "127.0.0.1:-4294967295"}) {
    EXPECT_EQ(Parse(address).rc, QIVA_ERR_INVALID) << address;
    EXPECT_EQ(TRANSPORT_check_address("tcp", address), QIVA_ERR_INVALID) << address;
  }
  EXPECT_EQ(Parse("").rc, QIVA_ERR_INVALID);
  EXPECT_EQ(TRANSPORT_TCP_parse_address(nullptr, nullptr), QIVA_ERR_INVALID);
}

TEST(TcpAddress, HostsTheResolverRefusesAreTransportErrors) {
  // Unbracketed IPv6: the host before the first ':' is empty.
  EXPECT_EQ(Parse("::1:5455").rc, QIVA_ERR_TRANSPORT);
  EXPECT_EQ(Parse(":5455").rc, QIVA_ERR_TRANSPORT);
}

TEST(TcpAddress, PortTextFollowsFormattedInput) {
  Parsed edge = Parse("localhost:65535");
  ASSERT_EQ(edge.rc, 0);
  EXPECT_EQ(edge.ports, std::set<int>{65535});
  Parsed trailing = Parse("localhost:5455xyz");
  ASSERT_EQ(trailing.rc, 0);
  EXPECT_EQ(trailing.ports, std::set<int>{5455});
  Parsed blank = Parse("localhost: 80");
  ASSERT_EQ(blank.rc, 0);
  EXPECT_EQ(blank.ports, std::set<int>{80});
  Parsed zero = Parse("localhost:0");
  ASSERT_EQ(zero.rc, 0);
  EXPECT_EQ(zero.ports, std::set<int>{0});
}

TEST(TcpAddress, CheckReleasesTheListAndKeepsTheCallersString) {
  char address[] = "[::1]:5455";
  EXPECT_EQ(_tcp_check_address(address), 0);
  EXPECT_STREQ(address, "[::1]:5455");
  EXPECT_EQ(_tcp_check_address("localhost"), QIVA_ERR_INVALID);
  EXPECT_EQ(TRANSPORT_TCP_initialise_sockets(), 0);
  EXPECT_EQ(TRANSPORT_TCP_initialise_sockets(), 0);
}

}  // namespace
