// The event-type and caller-type vocabularies and their name look-ups.
#include <strings.h>

#include "types.h"

extern "C" {

const char *const qiva_event_type_names[QIVA_EVENT_TYPE_COUNT + 1] = {
    "STARTED",  "HERE",     "INBOUND", "OUTBOUND", "FINISHED", "STARTED_INBOUND",
    "OUTBOUND_FINISHED", "INBOUND_FINISHED", "COMMIT", "ROLLBACK", nullptr};

// Indexed by caller type 0 to 23; the user kinds from 200 up are named apart ("USER").
const char *const qiva_caller_type_names[QIVA_MAX_RESERVED_CALLER + 2] = {
    "ANY",  "HTTP", "SOAP", "REST",   "GRPC", "RMI",  "CORBA", "JMS",   "MQ",
    "AMQP", "KAFKA", "JDBC", "ODBC",  "SQL",  "CICS", "IMS",   "TUXEDO", "SAP",
    "LDAP", "SMTP", "FTP",  "BATCH", "SCHED", "NATIVE", nullptr};

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
