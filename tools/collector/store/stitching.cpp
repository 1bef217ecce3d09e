// The stitching rules. Within a transaction an OUTBOUND is answered by the first later INBOUND
// or OUTBOUND_FINISHED with its horizontal link id; in other transactions, a STARTED_INBOUND
// or an INBOUND with that link id is the call's callee. A start event's vertical link id names
// its caller: any other transaction with an event carrying it.
#include "tools/collector/store/stitching.h"

#include <map>

#include "types.h"

namespace veska {
namespace store {

namespace {

bool _is_start(uint16_t type) {
  return type == QIVA_STARTED_EVENT || type == QIVA_STARTED_INBOUND_EVENT;
}

bool _answers(uint16_t type) {
  return type == QIVA_INBOUND_EVENT || type == QIVA_OUTBOUND_FINISHED_EVENT;
}

bool _serves(uint16_t type) {
  return type == QIVA_STARTED_INBOUND_EVENT || type == QIVA_INBOUND_EVENT;
}

// Looks each link up once per transaction, however many of its events carry it.
class _CachedLookup {
 public:
  explicit _CachedLookup(LinkLookup *lookup) : lookup_(lookup) {}
  const std::vector<LinkEvent> *find(const std::string &link, bool vertical) {
    auto &cache = vertical ? vertical_ : horizontal_;
    auto found = cache.find(link);
    if (found != cache.end()) return &found->second;
    std::vector<LinkEvent> events;
    const bool ok = vertical ? lookup_->by_vlink(link, &events) : lookup_->by_hlink(link, &events);
    if (!ok) return nullptr;
    return &cache.emplace(link, std::move(events)).first->second;
  }

 private:
  LinkLookup *lookup_;
  std::map<std::string, std::vector<LinkEvent>> horizontal_, vertical_;
};

}  // namespace

bool stitch(int64_t txn, const std::vector<LinkEvent> &events, LinkLookup *lookup, Stitched *out) {
  _CachedLookup links(lookup);
  std::vector<bool> answer_used(events.size(), false);
  // Calls first, so that an answer is known as such before unmatched links are looked for.
  for (size_t i = 0; i < events.size(); ++i) {
    const LinkEvent &event = events[i];
    if (event.type != QIVA_OUTBOUND_EVENT || !event.has_hlink) continue;
    Call call;
    call.link_id = event.hlink;
    call.outbound_index = i;
    call.start_us = event.time_us;
    for (size_t j = i + 1; j < events.size(); ++j) {
      if (!answer_used[j] && _answers(events[j].type) && events[j].has_hlink &&
          events[j].hlink == event.hlink) {
        answer_used[j] = true;
        call.answered = true;
        call.answer_index = j;
        call.end_us = events[j].time_us;
        break;
      }
    }
    const std::vector<LinkEvent> *partners = links.find(event.hlink, false);
    if (partners == nullptr) return false;
    std::set<int64_t> callees;
    for (const LinkEvent &partner : *partners) {
      if (partner.txn != txn && _serves(partner.type)) callees.insert(partner.txn);
    }
    call.callees.assign(callees.begin(), callees.end());
    out->callees.insert(callees.begin(), callees.end());
    if (!call.answered) {
      out->unmatched.push_back({i, event.hlink, false, "OUTBOUND without an answer"});
    }
    out->calls.push_back(std::move(call));
  }

  for (size_t i = 0; i < events.size(); ++i) {
    const LinkEvent &event = events[i];
    if (event.has_hlink && event.type != QIVA_OUTBOUND_EVENT && !answer_used[i]) {
      if (event.type == QIVA_OUTBOUND_FINISHED_EVENT) {
        out->unmatched.push_back({i, event.hlink, false, "OUTBOUND_FINISHED without an OUTBOUND"});
      } else if (_serves(event.type)) {
        const std::vector<LinkEvent> *partners = links.find(event.hlink, false);
        if (partners == nullptr) return false;
        bool called = false;
        for (const LinkEvent &partner : *partners) {
          if (partner.type != QIVA_OUTBOUND_EVENT) continue;
          called = true;
          if (partner.txn != txn) out->callers.insert(partner.txn);
        }
        if (!called)
          out->unmatched.push_back({i, event.hlink, false, "no OUTBOUND calls this link"});
      }
    }
    if (!event.has_vlink) continue;
    const std::vector<LinkEvent> *partners = links.find(event.vlink, true);
    if (partners == nullptr) return false;
    bool partnered = false;
    for (const LinkEvent &partner : *partners) {
      if (partner.txn == txn) continue;
      if (_is_start(event.type) && !_is_start(partner.type)) {
        out->callers.insert(partner.txn);
        partnered = true;
      } else if (!_is_start(event.type) && _is_start(partner.type)) {
        out->callees.insert(partner.txn);
        partnered = true;
      }
    }
    if (_is_start(event.type) && !partnered) {
      out->unmatched.push_back({i, event.vlink, true, "no caller carries this vertical link"});
    }
  }
  out->callees.erase(txn);
  out->callers.erase(txn);
  return true;
}

}  // namespace store
}  // namespace veska
