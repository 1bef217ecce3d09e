/* Compiled as strict C99: the public header must be plain C, and the look-ups link. */
#include <stdio.h>
#include <string.h>

#include "types.h"

int main(void) {
  qiva_event_t event;
  qiva_config_t config;
  memset(&event, 0, sizeof event);
  memset(&config, 0, sizeof config);
  if (QIVA_get_event_type("started_inbound") != QIVA_STARTED_INBOUND_EVENT) return 1;
  if (strcmp(QIVA_get_event_name(QIVA_ROLLBACK_EVENT), "ROLLBACK") != 0) return 2;
  if (QIVA_get_caller_type("any") != QIVA_ANY_CALLER) return 3;
  if (strcmp(QIVA_get_caller_name((qiva_caller_type_t)300), "USER") != 0) return 4;
  if (strcmp(QIVA_strerror(QIVA_ERR_TIMEDOUT), "Operation timed out") != 0) return 5;
  if (strcmp(QIVA_getmsg_prefix(QIVA_MSG_VESKA_QUEUE_EXCEEDED), "QIVAD68W ") != 0) return 6;
  if (QIVA_check_version_(0) != 0) return 7;
  if (QIVA_version() == NULL || QIVA_version()[0] < '0' || QIVA_version()[0] > '9') return 8;
  printf("%s\n", QIVA_getmsg(QIVA_MSG_SUCCESS));
  return 0;
}
