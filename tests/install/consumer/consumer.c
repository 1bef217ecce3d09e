/*
 * An application built against an installed veska: it tracks one short unit of work whose
 * transaction id is its second argument, flushes and shuts down. Built with
 * VESKA_CONSUMER_PRIVATE it also includes the exported internal interface and checks the
 * server address through it.
 *
 * Usage: consumer tcp:HOST:PORT TRANSACTION_ID
 */
#include <stdio.h>
#include <string.h>
#include <veska/types.h>
#ifdef VESKA_CONSUMER_PRIVATE
#include <veska/private_api.h>
#endif

static int check(const char *what, int rc) {
  if (rc != QIVA_SUCCESS) fprintf(stderr, "consumer: %s: %d %s\n", what, rc, QIVA_strerror(rc));
  return rc != QIVA_SUCCESS;
}

int main(int argc, char **argv) {
  qiva_config_t config;
  qiva_event_t event;
  qiva_time_t flush_timeout = {30, 0};
  int failures = 0;
  if (argc != 3) return 2;
#ifdef VESKA_CONSUMER_PRIVATE
  if (check("TRANSPORT_check_address", TRANSPORT_check_address("tcp", argv[1] + 4))) return 1;
#endif
  memset(&config, 0, sizeof config);
  config.server = argv[1];
  config.connect_timeout = 5000;
  config.connect_retry_interval = 200;
  config.connect_retries = 100;
  if (check("QIVA_init", QIVA_init(&config))) return 1;
  memset(&event, 0, sizeof event);
  event.instance_id.transaction_id = (const qiva_byte_t *)argv[2];
  event.instance_id.size = (qiva_uint16_t)strlen(argv[2]);
  event.type = QIVA_STARTED_INBOUND_EVENT;
  failures += check("QIVA_track", QIVA_track(&config, &event));
  event.type = QIVA_FINISHED_EVENT;
  failures += check("QIVA_track", QIVA_track(&config, &event));
  failures += check("QIVA_flush", QIVA_flush(&config, &flush_timeout));
  failures += check("QIVA_shutdown", QIVA_shutdown(&config));
  return failures == 0 ? 0 : 1;
}
