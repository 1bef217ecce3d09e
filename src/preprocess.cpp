/*
 * Validation of an event before it is sized and serialised. The checks run in one fixed order
 * and the first fault decides the result, so a given record always yields the same code.
 */
#include "src/preprocess.h"

#include "lib/vecommon/ve_logging.h"

VE_LOG_FILE("veska");

namespace {

/* Fault kinds of a values list; a list's result code is its base plus the kind. */
constexpr int kListName = 1;
constexpr int kListValue = 2;
constexpr int kListLength = 3;
constexpr int kListFlag = 4;

/* Bases of the list result codes (129 + kind is 130 to 133, and so on). */
constexpr int kTransactionDataBase = 129;
constexpr int kHorizontalStitchBase = 139;
constexpr int kVerticalStitchBase = 149;
constexpr int kHorizontalContextBase = 159;
constexpr int kVerticalContextBase = 169;

constexpr ve_uint32_t kMaxEventType = 9;
constexpr ve_uint32_t kMaxCallerType = 255;
constexpr ve_uint32_t kMaxMicroseconds = 999999;

}  // namespace

/* 0 for a valid or empty list, otherwise the kind of the first faulty item's first fault.
 * The walk trusts the chain to end: a cyclic list is the caller's fault, as in serialisation. */
static int _check_values_list(const qiva_values_list_t *list) {
  for (const qiva_values_list_t *item = list; item != nullptr; item = item->next) {
    if (item->name == nullptr) return kListName;
    if (item->value == nullptr && item->size != 0) return kListValue;
    if (item->value != nullptr && item->size == 0) return kListLength;
    if (item->flags > 3) return kListFlag;
  }
  return 0;
}

static int _check_event(const qiva_event_t *event) {
  VE_LOG_ENTER("_check_event");
  const qiva_instance_id_t &instance = event->instance_id;
  const qiva_association_id_t &horizontal = event->horizontal_id;
  const qiva_association_id_t &vertical = event->vertical_id;

  // The order below is part of the contract: callers rely on which code a record with
  // several faults yields (vertical flags before horizontal, lists in this odd order).
  if (event->timestamp.usec > kMaxMicroseconds) VE_RETURN(QIVA_ERR_EVENT_INVALID_TIMESTAMP);
  if (event->type > kMaxEventType) VE_RETURN(QIVA_ERR_EVENT_INVALID_EVENT_TYPE);
  if (instance.transaction_id != nullptr && instance.size == 0)
    VE_RETURN(QIVA_ERR_EVENT_INVALID_TID_LENGTH);
  if (instance.transaction_id == nullptr && instance.size != 0)
    VE_RETURN(QIVA_ERR_EVENT_INVALID_TID_ADDRESS);
  if (horizontal.link_id != nullptr && horizontal.link_id_size == 0)
    VE_RETURN(QIVA_ERR_EVENT_INVALID_HLINK_LENGTH);
  if (horizontal.link_id == nullptr && horizontal.link_id_size != 0)
    VE_RETURN(QIVA_ERR_EVENT_INVALID_HLINK_ADDRESS);
  if (vertical.link_id != nullptr && vertical.link_id_size == 0)
    VE_RETURN(QIVA_ERR_EVENT_INVALID_VLINK_LENGTH);
  if (vertical.link_id == nullptr && vertical.link_id_size != 0)
    VE_RETURN(QIVA_ERR_EVENT_INVALID_VLINK_ADDRESS);
  if (horizontal.caller_type > kMaxCallerType) VE_RETURN(QIVA_ERR_EVENT_INVALID_HLINK_CALLER);
  if (vertical.caller_type > kMaxCallerType) VE_RETURN(QIVA_ERR_EVENT_INVALID_VLINK_CALLER);
  if (vertical.flags > 1) VE_RETURN(QIVA_ERR_EVENT_INVALID_VLINK_FLAG);
  if (horizontal.flags > 1) VE_RETURN(QIVA_ERR_EVENT_INVALID_HLINK_FLAG);
  if (instance.flags > 1) VE_RETURN(QIVA_ERR_EVENT_INVALID_TID_FLAG);

  int kind = _check_values_list(event->horizontal_context);
  if (kind != 0) VE_RETURN(kHorizontalContextBase + kind);
  kind = _check_values_list(event->vertical_context);
  if (kind != 0) VE_RETURN(kVerticalContextBase + kind);
  kind = _check_values_list(instance.transaction_data);
  if (kind != 0) VE_RETURN(kTransactionDataBase + kind);
  kind = _check_values_list(vertical.stitch_ids);
  if (kind != 0) VE_RETURN(kVerticalStitchBase + kind);
  kind = _check_values_list(horizontal.stitch_ids);
  if (kind != 0) VE_RETURN(kHorizontalStitchBase + kind);
  VE_RETURN(QIVA_SUCCESS);
}

extern "C" int VE_preprocess_event(const qiva_event_t *event) {
  VE_LOG_ENTER("VE_preprocess_event");
  // The tracking path rejects a null event before it gets here; a direct caller gets 21.
  if (event == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  // The dump precedes the checks so that a rejected record is visible in the log as passed.
  if (VE_DEBUGGING(QIVA_LOG_DETAIL)) QIVA_log_ve_event(event);
  VE_RETURN(_check_event(event));
}
