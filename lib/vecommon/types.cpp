// The event-type and caller-type vocabularies and their name look-ups.
#include "types.h"

#include <stddef.h>
#include <strings.h>

namespace {

// The public records have a fixed layout on LP64 Linux: applications, the Java binding and
// tools built against an older header read the same bytes at the same offsets. A field moved,
// resized or inserted fails here instead of in a caller's process.
#define VE_AT_(record, field, offset) \
  static_assert(offsetof(record, field) == (offset), #record "." #field " moved");
static_assert(sizeof(void *) == 8, "the public records are laid out for LP64");

// clang-format off

static_assert(sizeof(qiva_time_t) == 8, "qiva_time_t is 8 bytes");
VE_AT_(qiva_time_t, sec, 0) VE_AT_(qiva_time_t, usec, 4)

static_assert(sizeof(qiva_config_t) == 48, "qiva_config_t is 48 bytes");
VE_AT_(qiva_config_t, server, 0) VE_AT_(qiva_config_t, connect_timeout, 8)
VE_AT_(qiva_config_t, connect_retries, 12) VE_AT_(qiva_config_t, connect_retry_interval, 16)
VE_AT_(qiva_config_t, pad1, 20) VE_AT_(qiva_config_t, handle, 24)
VE_AT_(qiva_config_t, token_filename, 32) VE_AT_(qiva_config_t, queue_size, 40)

static_assert(sizeof(qiva_values_list_t) == 32, "qiva_values_list_t is 32 bytes");
VE_AT_(qiva_values_list_t, next, 0) VE_AT_(qiva_values_list_t, name, 8)
VE_AT_(qiva_values_list_t, value, 16) VE_AT_(qiva_values_list_t, size, 24)
VE_AT_(qiva_values_list_t, flags, 26)

static_assert(sizeof(qiva_instance_id_t) == 24, "qiva_instance_id_t is 24 bytes");
VE_AT_(qiva_instance_id_t, transaction_id, 0) VE_AT_(qiva_instance_id_t, size, 8)
VE_AT_(qiva_instance_id_t, flags, 10) VE_AT_(qiva_instance_id_t, pad1, 12)
VE_AT_(qiva_instance_id_t, transaction_data, 16)

static_assert(sizeof(qiva_association_id_t) == 32, "qiva_association_id_t is 32 bytes");
VE_AT_(qiva_association_id_t, caller_type, 0) VE_AT_(qiva_association_id_t, pad1, 4)
VE_AT_(qiva_association_id_t, link_id, 8) VE_AT_(qiva_association_id_t, link_id_size, 16)
VE_AT_(qiva_association_id_t, pad2, 17) VE_AT_(qiva_association_id_t, flags, 18)
VE_AT_(qiva_association_id_t, pad3, 20) VE_AT_(qiva_association_id_t, stitch_ids, 24)

static_assert(sizeof(qiva_event_t) == 136, "qiva_event_t is 136 bytes");
VE_AT_(qiva_event_t, type, 0) VE_AT_(qiva_event_t, timestamp, 4) VE_AT_(qiva_event_t, pad1, 12)
VE_AT_(qiva_event_t, instance_id, 16) VE_AT_(qiva_event_t, horizontal_id, 40)
VE_AT_(qiva_event_t, vertical_id, 72) VE_AT_(qiva_event_t, horizontal_context, 104)
VE_AT_(qiva_event_t, vertical_context, 112) VE_AT_(qiva_event_t, blocked, 120)
VE_AT_(qiva_event_t, pad2, 124) VE_AT_(qiva_event_t, reserved1, 128)

static_assert(sizeof(qiva_callbacks_t) == 16, "qiva_callbacks_t is 16 bytes");
VE_AT_(qiva_callbacks_t, on_after_init, 0) VE_AT_(qiva_callbacks_t, on_after_shutdown, 8)

// clang-format on
#undef VE_AT_

}  // namespace

extern "C" {

const char *const qiva_event_type_names[QIVA_EVENT_TYPE_COUNT + 1] = {"STARTED",
                                                                      "HERE",
                                                                      "INBOUND",
                                                                      "OUTBOUND",
                                                                      "FINISHED",
                                                                      "STARTED_INBOUND",
                                                                      "OUTBOUND_FINISHED",
                                                                      "INBOUND_FINISHED",
                                                                      "COMMIT",
                                                                      "ROLLBACK",
                                                                      nullptr};

// Indexed by caller type 0 to 23; the user kinds from 200 up are named apart ("USER").
const char *const qiva_caller_type_names[QIVA_MAX_RESERVED_CALLER + 2] = {
    "ANY",  "HTTP",  "SOAP", "REST",  "GRPC",  "RMI",    "CORBA", "JMS",    "MQ",
    "AMQP", "KAFKA", "JDBC", "ODBC",  "SQL",   "CICS",   "IMS",   "TUXEDO", "SAP",
    "LDAP", "SMTP",  "FTP",  "BATCH", "SCHED", "NATIVE", nullptr};

qiva_event_type_t QIVA_get_event_type(const char *name) {
  if (name == nullptr) return QIVA_EVENT_TYPE_COUNT;
  for (int type = 0; type < QIVA_EVENT_TYPE_COUNT; ++type)
    if (strcasecmp(name, qiva_event_type_names[type]) == 0)
      return static_cast<qiva_event_type_t>(type);
  return QIVA_EVENT_TYPE_COUNT;
}

const char *QIVA_get_event_name(qiva_event_type_t type) {
  unsigned value = static_cast<unsigned>(type);
  return value < QIVA_EVENT_TYPE_COUNT ? qiva_event_type_names[value] : nullptr;
}

qiva_caller_type_t QIVA_get_caller_type(const char *name) {
  if (name == nullptr) return QIVA_CALLER_TYPE_COUNT;
  for (int type = 0; type <= QIVA_MAX_RESERVED_CALLER; ++type)
    if (strcasecmp(name, qiva_caller_type_names[type]) == 0)
      return static_cast<qiva_caller_type_t>(type);
  return QIVA_CALLER_TYPE_COUNT;
}

const char *QIVA_get_caller_name(qiva_caller_type_t type) {
  // Unsigned 32-bit compare: 256 and anything larger are user kinds as well.
  uint32_t value = static_cast<uint32_t>(type);
  if (value >= QIVA_USER_CALLER) return "USER";
  if (value > QIVA_MAX_RESERVED_CALLER) return nullptr;
  return qiva_caller_type_names[value];
}

}  // extern "C"
