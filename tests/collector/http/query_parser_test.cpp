// The search's query-string parser: what each parameter becomes, and which queries are refused
// with which reason.
#include "tools/collector/http/query_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using veska::http::parse_transaction_query;
using veska::store::TransactionQuery;

TEST(QueryParser, ReadsEveryParameter) {
  TransactionQuery query;
  std::string error;
  ASSERT_TRUE(parse_transaction_query(
      "id=order+7781&id_prefix=ord%2Fer&outcome=rollback&min_duration_us=10&max_duration_us=20"
      "&from_us=1700000000000000&to_us=1800000000000000&client=127.0.0.1%3A5000"
      "&data=customer%3AC-1042&data=note:a:b&stitch=host:inv&stuck=true&sort=duration"
      "&order=asc&limit=7&cursor=abc%00def&&",
      &query, &error))
      << error;
  EXPECT_EQ("order 7781", *query.id);
  EXPECT_EQ("ord/er", *query.id_prefix);
  EXPECT_EQ("rollback", *query.outcome);
  EXPECT_EQ(10, *query.min_duration_us);
  EXPECT_EQ(20, *query.max_duration_us);
  EXPECT_EQ(1700000000000000, *query.from_us);
  EXPECT_EQ(1800000000000000, *query.to_us);
  EXPECT_EQ("127.0.0.1:5000", *query.client);
  ASSERT_EQ(2u, query.data.size());
  EXPECT_EQ("customer", query.data[0].name);
  EXPECT_EQ("C-1042", query.data[0].value);
  EXPECT_EQ("note", query.data[1].name);
  EXPECT_EQ("a:b", query.data[1].value);  // split at the first ':' only
  ASSERT_EQ(1u, query.stitch.size());
  EXPECT_EQ("inv", query.stitch[0].value);
  EXPECT_TRUE(query.stuck_only);
  EXPECT_TRUE(query.sort_by_duration);
  EXPECT_TRUE(query.ascending);
  EXPECT_EQ(7u, query.limit);
  EXPECT_EQ(std::string("abc\0def", 7), query.cursor);
}

TEST(QueryParser, DefaultsEmptyValuesAndLimitCap) {
  const struct {
    const char *query;
    uint32_t limit;
  } cases[] = {
      {"", 50},
      {"id=&outcome=&limit=&client=", 50},  // an untouched form filters nothing
      {"limit=1000", 1000},
      {"limit=1001", 1000},
      {"limit=000000000000000000000000000000000000000000000000000000000000000000000000000012", 12},
      {"limit=99999999999999999999999999999999999999999999999999999999", 1000},
  };
  for (const auto &c : cases) {
    TransactionQuery query;
    std::string error;
    ASSERT_TRUE(parse_transaction_query(c.query, &query, &error)) << c.query << ": " << error;
    EXPECT_EQ(c.limit, query.limit) << c.query;
    EXPECT_FALSE(query.id.has_value()) << c.query;
    EXPECT_FALSE(query.outcome.has_value()) << c.query;
  }
}

TEST(QueryParser, RefusesBadQueriesWithTheReason) {
  const std::string many_pairs = [] {
    std::string q;
    for (int i = 0; i < 17; ++i) q += "data=a:b&";
    return q;
  }();
  const std::string many_parameters = [] {
    std::string q;
    for (int i = 0; i < 65; ++i) q += "id=&";
    return q;
  }();
  const struct {
    std::string query;
    const char *reason;  // a part of the error
  } cases[] = {
      {"colour=red", "unknown parameter 'colour'"},
      {std::string(100, 'x') + "=1", "unknown parameter 'xxxx"},
      {"limit=ten", "'limit'"},
      {"limit=0", "'limit'"},
      {"limit=-5", "'limit'"},
      {"min_duration_us=1.5", "'min_duration_us'"},
      {"from_us=-1", "'from_us'"},
      {"to_us=99999999999999999999", "'to_us'"},
      {"outcome=maybe", "'outcome'"},
      {"stuck=yes", "'stuck'"},
      {"sort=name", "'sort'"},
      {"order=up", "'order'"},
      {"data=nocolon", "NAME:VALUE"},
      {"stitch=:value", "NAME:VALUE"},
      {"id=a&id=b", "more than once"},
      {"id=%zz", "hexadecimal"},
      {"id=%4", "hexadecimal"},
      {"%=1", "hexadecimal"},
      {"id=" + std::string(1025, 'a'), "longer than 1024"},
      {"id=" + std::string(9000, 'a'), "longer than 8192"},
      {many_pairs, "at most 16"},
      {many_parameters, "at most 64"},
  };
  for (const auto &c : cases) {
    TransactionQuery query;
    std::string error;
    EXPECT_FALSE(parse_transaction_query(c.query, &query, &error)) << c.query;
    EXPECT_NE(std::string::npos, error.find(c.reason)) << c.query << ": " << error;
  }
}

}  // namespace
