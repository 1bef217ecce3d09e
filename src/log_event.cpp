/*
 * The diagnostic dump of an event, field by field, one log line per field. It runs before
 * validation, so it trusts nothing in the record beyond the lists being properly chained.
 */
#include <ctype.h>
#include <string.h>

#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_time.h"
#include "src/common_context.h"

VE_LOG_FILE("veska");

namespace {

/* A value is shown through a buffer of this size: 255 characters and the terminator. */
constexpr size_t kValueBufferSize = 256;
constexpr const char *kUnknown = "<unknown>";

/* The two indentations of an item block: four blanks inside an instance or association,
 * two blanks for a context list. Each line's text is its own format. */
struct ItemFormats {
  const char *name;
  const char *value_null;
  const char *value_text;
  const char *value_truncated;
  const char *value_address;
  const char *size;
  const char *flags;
};

constexpr ItemFormats kNestedItem = {
    "    name: %s",         "    value: NULL",          "    value: \"%s\"",
    "    value: \"%s\"...", "    value (address): %ld", "    size: %hu",
    "    flags: %hu"};
constexpr ItemFormats kContextItem = {
    "  name: %s",         "  value: NULL",          "  value: \"%s\"",
    "  value: \"%s\"...", "  value (address): %ld", "  size: %hu",
    "  flags: %hu"};

/* Every function below writes under the dump's own function record, so the lines are
 * attributed to "QIVA_log_event" whichever helper formats them. */
void _log_items(qiva_function_log_t *log, const qiva_values_list_t *item,
                const ItemFormats &formats) {
  for (; item != nullptr; item = item->next) {
    QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, formats.name,
                   item->name != nullptr ? item->name : "(null)");
    if (item->value == nullptr) {
      QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, "%s", formats.value_null);
    } else if (is_item_printable(item)) {
      // A longer value keeps its first 255 bytes and is marked as cut by "..." after the
      // closing quote; nothing past the buffer is read or written.
      char text[kValueBufferSize];
      size_t length = item->size < kValueBufferSize - 1 ? item->size : kValueBufferSize - 1;
      memcpy(text, item->value, length);
      text[length] = '\0';
      QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL,
                     item->size > length ? formats.value_truncated : formats.value_text, text);
    } else {
      QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, formats.value_address,
                     reinterpret_cast<long>(item->value));
    }
    QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, formats.size,
                   static_cast<unsigned short>(item->size));
    QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, formats.flags,
                   static_cast<unsigned short>(item->flags));
  }
}

void _log_association(qiva_function_log_t *log, const qiva_association_id_t &id) {
  // Every value from 200 up is "USER"; clamping keeps the enumeration argument in range.
  const ve_uint32_t max_user = QIVA_MAX_USER_CALLER;
  ve_uint32_t caller = id.caller_type > max_user ? max_user : id.caller_type;
  const char *caller_name = QIVA_get_caller_name(static_cast<qiva_caller_type_t>(caller));
  QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, "  caller: %s",
                 caller_name != nullptr ? caller_name : kUnknown);
  QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, "  link_id (address): %ld",
                 reinterpret_cast<long>(id.link_id));
  QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, "  size: %hu",
                 static_cast<unsigned short>(id.link_id_size));
  QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, "  flags: %hu",
                 static_cast<unsigned short>(id.flags));
  if (id.stitch_ids == nullptr) {
    QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, "  stitch_ids: NULL");
  } else {
    QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, "  stitch_ids");
    _log_items(log, id.stitch_ids, kNestedItem);
  }
}

void _log_context(qiva_function_log_t *log, const char *title, const char *null_line,
                  const qiva_values_list_t *list) {
  if (list == nullptr) {
    QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, "%s", null_line);
  } else {
    QIVA_log_debug(log, __LINE__, QIVA_LOG_DETAIL, "%s", title);
    _log_items(log, list, kContextItem);
  }
}

}  // namespace

extern "C" int is_item_printable(const qiva_values_list_t *item) {
  if (item == nullptr) return 0;
  if (item->size == 0) return 1;
  if (item->value == nullptr) return 0;
  for (ve_uint16_t i = 0; i < item->size; ++i) {
    // Each byte is taken as a signed char. Bytes of 128 and up are negative then; passing a
    // negative value other than EOF to isprint is undefined, and such a byte is never shown
    // as text (it may be half of a multi-byte character), so it makes the value binary.
    signed char c = static_cast<signed char>(item->value[i]);
    if (c < 0 || !isprint(c)) return 0;
  }
  return 1;
}

extern "C" void QIVA_log_ve_event(const qiva_event_t *event) {
  VE_LOG_ENTER("QIVA_log_event");
  if (event == nullptr) VE_RETURN_VOID();
  qiva_function_log_t *log = &QIVA_FUNCTION_LOG;

  const char *type_name = event->type < QIVA_EVENT_TYPE_COUNT
                              ? QIVA_get_event_name(static_cast<qiva_event_type_t>(event->type))
                              : nullptr;
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "type: %s", type_name != nullptr ? type_name : kUnknown);
  qiva_time_t when = event->timestamp;
  if (when.sec == 0 && when.usec == 0) QIVA_time(&when);
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "timestamp: %lusec %luusec", static_cast<unsigned long>(when.sec),
               static_cast<unsigned long>(when.usec));
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "blocked: %d", static_cast<int>(event->blocked));

  const qiva_instance_id_t &instance = event->instance_id;
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "instance_id");
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "  transaction_id (address): %ld",
               reinterpret_cast<long>(instance.transaction_id));
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "  size: %hu", static_cast<unsigned short>(instance.size));
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "  flags: %hu", static_cast<unsigned short>(instance.flags));
  if (instance.transaction_data == nullptr) {
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "  transaction_data: NULL");
  } else {
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "  transaction_data");
    _log_items(log, instance.transaction_data, kNestedItem);
  }

  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "horizontal_id");
  _log_association(log, event->horizontal_id);
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "vertical_id");
  _log_association(log, event->vertical_id);
  _log_context(log, "horizontal_context", "horizontal_context: NULL", event->horizontal_context);
  _log_context(log, "vertical_context", "vertical_context: NULL", event->vertical_context);
  VE_RETURN_VOID();
}
