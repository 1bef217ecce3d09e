/*
 * The inventory service the demo's order service calls, instrumented with veska through the
 * public C header only. It answers one stock request: the call arrives on the order's link
 * (STARTED_INBOUND with the call's horizontal link id), the stock is checked (HERE), the work
 * finishes (FINISHED) and commits (COMMIT). The collector nests this transaction under the
 * order's OUTBOUND through that link id.
 *
 * Usage: veska-inventory [SERVER]   SERVER is "tcp:HOST:PORT" (default "tcp:127.0.0.1:5455").
 * It prints nothing unless something fails; its exit status is 0 when every step succeeded.
 */
#include <stdio.h>
#include <string.h>

#include "types.h"

#define BYTES(text) ((const qiva_byte_t *)(text))
#define PAIR(next, name, text) \
  { (next), (name), BYTES(text), (qiva_uint16_t)(sizeof(text) - 1), 0 }

static int check(const char *what, int rc) {
  if (rc != QIVA_SUCCESS) {
    fprintf(stderr, "inventory: %s failed: %d %s\n", what, rc, QIVA_strerror(rc));
  }
  return rc != QIVA_SUCCESS;
}

static void set_instance(qiva_event_t *event, qiva_values_list_t *transaction_data) {
  static const char transaction_id[] = "stock-991";
  event->instance_id.transaction_id = BYTES(transaction_id);
  event->instance_id.size = (qiva_uint16_t)(sizeof(transaction_id) - 1);
  event->instance_id.transaction_data = transaction_data;
}

int main(int argc, char **argv) {
  qiva_config_t config;
  qiva_event_t event;
  qiva_time_t flush_timeout = {10, 0};
  int failures = 0;
  /* The same link id the order service's OUTBOUND and INBOUND carry. */
  static const char call_link[] = "inventory-call-1";

  qiva_values_list_t sku = PAIR(NULL, "sku", "991");
  qiva_values_list_t host = PAIR(NULL, "host", "inventory.internal");
  qiva_values_list_t endpoint = PAIR(NULL, "endpoint", "GET /stock/991");
  qiva_values_list_t on_hand = PAIR(NULL, "on_hand", "42");
  qiva_values_list_t warehouse = PAIR(&on_hand, "warehouse", "W-3");

  memset(&config, 0, sizeof(config));
  config.server = argc > 1 ? argv[1] : NULL;
  config.connect_timeout = 5000;
  config.connect_retry_interval = 200;
  config.connect_retries = 25;
  if (check("QIVA_init", QIVA_init(&config))) return 1;

  /* 1. The order service's call arrives. */
  memset(&event, 0, sizeof(event));
  event.type = QIVA_STARTED_INBOUND_EVENT;
  set_instance(&event, &sku);
  event.horizontal_id.caller_type = QIVA_REST_CALLER;
  event.horizontal_id.link_id = BYTES(call_link);
  event.horizontal_id.link_id_size = (qiva_uint8_t)(sizeof(call_link) - 1);
  event.horizontal_id.stitch_ids = &host;
  event.vertical_context = &endpoint;
  failures += check("STARTED_INBOUND", QIVA_track(&config, &event));

  /* 2. The stock is looked up. */
  memset(&event, 0, sizeof(event));
  event.type = QIVA_HERE_EVENT;
  set_instance(&event, NULL);
  event.horizontal_context = &warehouse;
  failures += check("HERE", QIVA_track(&config, &event));

  /* 3. and 4. The reply is sent and the work commits. */
  memset(&event, 0, sizeof(event));
  event.type = QIVA_FINISHED_EVENT;
  set_instance(&event, NULL);
  failures += check("FINISHED", QIVA_track(&config, &event));
  event.type = QIVA_COMMIT_EVENT;
  failures += check("COMMIT", QIVA_track(&config, &event));

  failures += check("QIVA_flush", QIVA_flush(&config, &flush_timeout));
  failures += check("QIVA_shutdown", QIVA_shutdown(&config));
  return failures == 0 ? 0 : 1;
}
