// The "ServerAddress" item: the host's numeric addresses, IPv4 first, each once.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "private_api.h"

namespace {

// The host's addresses of one family as the resolver lists them, in its order.
std::vector<std::string> resolve(const char *host, int family, bool *ok) {
  std::vector<std::string> out;
  addrinfo hints{};
  hints.ai_flags = AI_ADDRCONFIG;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo *res = nullptr;
  *ok = getaddrinfo(host, nullptr, &hints, &res) == 0;
  if (!*ok) return out;
  for (addrinfo *r = res; r != nullptr; r = r->ai_next) {
    char text[NI_MAXHOST];
    if (r->ai_addr != nullptr && getnameinfo(r->ai_addr, r->ai_addrlen, text, sizeof(text), nullptr,
                                             0, NI_NUMERICHOST) == 0) {
      out.push_back(text);
    }
  }
  freeaddrinfo(res);
  return out;
}

TEST(CommonContext, NullContextIsInvalid) {
  ve_uint32_t count = 7;
  EXPECT_EQ(QIVA_ERR_INVALID, VE_common_context(nullptr, &count));
  EXPECT_EQ(7u, count);
}

TEST(CommonContext, ServerAddressListsTheHostAddressesOnce) {
  char host[256] = {0};
  ASSERT_EQ(0, QIVA_hostname(host, 255));
  qiva_values_list_t item;
  std::memset(&item, 0xA5, sizeof(item));
  const qiva_values_list_t untouched = item;
  ve_uint32_t count = 0;
  ASSERT_EQ(0, VE_common_context(&item, &count));

  bool ipv4_ok = false, ipv6_ok = false;
  std::vector<std::string> expected;
  for (const std::string &a : resolve(host, AF_INET, &ipv4_ok)) {
    if (std::find(expected.begin(), expected.end(), a) == expected.end()) expected.push_back(a);
  }
  if (ipv4_ok) {
    for (const std::string &a : resolve(host, AF_INET6, &ipv6_ok)) {
      if (std::find(expected.begin(), expected.end(), a) == expected.end()) expected.push_back(a);
    }
  }
  if (expected.empty()) {
    // Nothing known: neither the item nor the count is written.
    EXPECT_EQ(0u, count);
    EXPECT_EQ(0, std::memcmp(&item, &untouched, sizeof(item)));
    return;
  }
  std::string text;
  for (const std::string &a : expected) text += (text.empty() ? "" : ",") + a;
  EXPECT_EQ(1u, count);
  EXPECT_EQ(nullptr, item.next);
  EXPECT_STREQ("ServerAddress", item.name);
  EXPECT_EQ(0, item.flags);
  ASSERT_EQ(text.size(), item.size);
  EXPECT_EQ(text, std::string(reinterpret_cast<const char *>(item.value), item.size));
  EXPECT_EQ('\0', reinterpret_cast<const char *>(item.value)[item.size]);

  // Later calls copy the same process-wide item; a null count is allowed.
  qiva_values_list_t again;
  std::memset(&again, 0, sizeof(again));
  ASSERT_EQ(0, VE_common_context(&again, nullptr));
  EXPECT_EQ(item.value, again.value);
  EXPECT_EQ(item.size, again.size);
}

}  // namespace
