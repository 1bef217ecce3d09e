// How a transaction's events join it to others: its calls (an OUTBOUND and the event that
// answers it, with the transactions that served the call), the transactions that called it,
// and the links nobody answered. The rules are tabled in docs/transaction-view.md; this file
// applies them to one transaction's events and what a lookup finds of the same link ids.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_STITCHING_H
#define VESKA_TOOLS_COLLECTOR_STORE_STITCHING_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace veska {
namespace store {

// What stitching needs of one event.
struct LinkEvent {
  int64_t txn = 0;    // the transaction's row
  uint16_t type = 0;  // the event type
  int64_t time_us = 0;
  bool has_hlink = false, has_vlink = false;
  std::string hlink, vlink;
};

// Finds events of any transaction by link id; false when the store cannot answer. A lookup
// may stop after a bounded number of events (a link id shared by thousands is not a call).
class LinkLookup {
 public:
  virtual ~LinkLookup() = default;
  virtual bool by_hlink(const std::string &link, std::vector<LinkEvent> *events) = 0;
  virtual bool by_vlink(const std::string &link, std::vector<LinkEvent> *events) = 0;
};

struct Call {
  std::string link_id;
  size_t outbound_index = 0;
  bool answered = false;
  size_t answer_index = 0;
  int64_t start_us = 0, end_us = 0;
  std::vector<int64_t> callees;  // transactions that served the call, ascending
};

struct UnmatchedLink {
  size_t event_index = 0;
  std::string link_id;
  bool vertical = false;
  std::string reason;
};

struct Stitched {
  std::vector<Call> calls;
  std::vector<UnmatchedLink> unmatched;
  std::set<int64_t> callees;  // every transaction it called, horizontally or vertically
  std::set<int64_t> callers;  // every transaction that called it
};

// Stitches transaction txn, whose events are given in time order.
bool stitch(int64_t txn, const std::vector<LinkEvent> &events, LinkLookup *lookup, Stitched *out);

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_STITCHING_H
