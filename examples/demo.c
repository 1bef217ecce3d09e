/*
 * A small order service instrumented with veska, written against the public C header only.
 * It handles one request: the request arrives (STARTED_INBOUND), the service calls an
 * inventory back end (OUTBOUND), gets its reply (INBOUND), finishes (FINISHED) and commits
 * (COMMIT). One deliberately broken event shows how a rejected event is reported.
 *
 * Usage: veska-demo [SERVER [INVENTORY]]   SERVER is "tcp:HOST:PORT" (default
 * "tcp:127.0.0.1:5455"). With INVENTORY, the path of veska-inventory, the call to the back end
 * really runs that program (with SERVER) between OUTBOUND and INBOUND, so its transaction falls
 * inside the call's span.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "types.h"

#define BYTES(text) ((const qiva_byte_t *)(text))
#define PAIR(next, name, text) \
  { (next), (name), BYTES(text), (qiva_uint16_t)(sizeof(text) - 1), 0 }

static int report(const char *what, int rc) {
  if (rc == QIVA_SUCCESS) {
    fprintf(stderr, "demo: %-24s ok\n", what);
  } else {
    fprintf(stderr, "demo: %-24s failed: %d %s\n", what, rc, QIVA_strerror(rc));
  }
  return rc;
}

/* Every event of the unit of work carries the same transaction instance. */
static void set_instance(qiva_event_t *event, qiva_values_list_t *transaction_data) {
  static const char transaction_id[] = "order-7781";
  event->instance_id.transaction_id = BYTES(transaction_id);
  event->instance_id.size = (qiva_uint16_t)(sizeof(transaction_id) - 1);
  event->instance_id.transaction_data = transaction_data;
}

/* The back-end call: horizontal association with the call's link id and stitch pairs. */
static void set_backend_call(qiva_event_t *event, qiva_values_list_t *stitches) {
  static const char link_id[] = "inventory-call-1";
  event->horizontal_id.caller_type = QIVA_REST_CALLER;
  event->horizontal_id.link_id = BYTES(link_id);
  event->horizontal_id.link_id_size = (qiva_uint8_t)(sizeof(link_id) - 1);
  event->horizontal_id.stitch_ids = stitches;
}

/* Runs the inventory service and waits for it; 0 when it ran and succeeded. */
static int call_inventory(const char *program, const char *server) {
  int status = 0;
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    execl(program, program, server, (char *)NULL);
    _exit(127);
  }
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

int main(int argc, char **argv) {
  qiva_config_t config;
  qiva_event_t event;
  qiva_time_t flush_timeout = {10, 0}; /* a duration: at most 10 seconds */
  int failures = 0;
  int rc;

  qiva_values_list_t channel = PAIR(NULL, "channel", "web");
  qiva_values_list_t customer = PAIR(&channel, "customer", "C-1042");
  qiva_values_list_t endpoint = PAIR(NULL, "endpoint", "POST /orders");
  qiva_values_list_t request = PAIR(NULL, "request", "GET /stock/991");
  qiva_values_list_t backend = PAIR(&request, "host", "inventory.internal");
  qiva_values_list_t status = PAIR(NULL, "status", "200");
  qiva_values_list_t reply = PAIR(&status, "host", "inventory.internal");
  static const char gateway_link[] = "gw-req-5512";

  memset(&config, 0, sizeof(config));
  config.server = argc > 1 ? argv[1] : NULL;
  config.connect_timeout = 5000;
  config.connect_retry_interval = 200;
  config.connect_retries = 25;
  rc = QIVA_init(&config);
  if (report("QIVA_init", rc) != QIVA_SUCCESS) return 1;

  /* 1. The request arrives from the HTTP gateway: the unit of work starts. */
  memset(&event, 0, sizeof(event)); /* timestamp 0 s 0 us: the library takes the time */
  event.type = QIVA_STARTED_INBOUND_EVENT;
  set_instance(&event, &customer);
  event.vertical_id.caller_type = QIVA_HTTP_CALLER;
  event.vertical_id.link_id = BYTES(gateway_link);
  event.vertical_id.link_id_size = (qiva_uint8_t)(sizeof(gateway_link) - 1);
  event.vertical_context = &endpoint;
  failures += report("STARTED_INBOUND", QIVA_track(&config, &event)) != 0;

  /* 2. The service calls the inventory back end. */
  memset(&event, 0, sizeof(event));
  event.type = QIVA_OUTBOUND_EVENT;
  set_instance(&event, NULL);
  set_backend_call(&event, &backend);
  failures += report("OUTBOUND", QIVA_track(&config, &event)) != 0;
  if (argc > 2) {
    /* What was tracked so far reaches the collector before the callee's events do, so the
     * order service is the collector's first connection. */
    QIVA_flush(&config, &flush_timeout);
    if (call_inventory(argv[2], argv[1]) != 0) {
      fprintf(stderr, "demo: the inventory service %s failed\n", argv[2]);
      ++failures;
    }
  }

  /* 3. The back end's reply comes in on the same link. */
  memset(&event, 0, sizeof(event));
  event.type = QIVA_INBOUND_EVENT;
  set_instance(&event, NULL);
  set_backend_call(&event, &reply);
  failures += report("INBOUND", QIVA_track(&config, &event)) != 0;

  /* 4. and 5. The work is done and committed. */
  memset(&event, 0, sizeof(event));
  event.type = QIVA_FINISHED_EVENT;
  set_instance(&event, NULL);
  failures += report("FINISHED", QIVA_track(&config, &event)) != 0;
  event.type = QIVA_COMMIT_EVENT;
  failures += report("COMMIT", QIVA_track(&config, &event)) != 0;

  /* A broken event is refused with a code and queues nothing. */
  memset(&event, 0, sizeof(event));
  event.type = QIVA_HERE_EVENT;
  event.timestamp.sec = 1700000000;
  event.timestamp.usec = 1000000;
  rc = QIVA_track(&config, &event);
  fprintf(stderr, "demo: rejected HERE event     %d %s (expected)\n", rc, QIVA_strerror(rc));
  failures += rc != QIVA_ERR_EVENT_INVALID_TIMESTAMP;

  failures += report("QIVA_flush", QIVA_flush(&config, &flush_timeout)) != 0;
  failures += report("QIVA_shutdown", QIVA_shutdown(&config)) != 0;
  return failures == 0 ? 0 : 1;
}
