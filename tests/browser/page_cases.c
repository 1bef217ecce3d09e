/*
 * Sends, through the library, the transactions the browser tests look for beyond the demo's
 * two services: one whose fields hold markup, one whose OUTBOUND nobody answers, one from a
 * client that dropped events, one of 50 000 events, and a short one that arrives while a page
 * follows the search.
 *
 * Usage: page_cases SERVER CASE...   CASE is markup, unmatched, drops, bulk or late.
 */
#include <stdio.h>
#include <string.h>

#include "types.h"

#define BYTES(text) ((const qiva_byte_t *)(text))
#define PAIR(next, name, text) \
  { (next), (name), BYTES(text), (qiva_uint16_t)(sizeof(text) - 1), 0 }

/* The browser test checks that this global stays unset: nothing here may run as script. */
static const char kMarkupId[] = "<img src=x onerror=\"window.__veskaPwned=1\">";
static const char kMarkupValue[] = "<script>window.__veskaPwned=1</script>";

static qiva_time_t flush_timeout = {30, 0};

static int start_config(qiva_config_t *config, const char *server, qiva_uint16_t queue_size,
                        int connect_retries) {
  memset(config, 0, sizeof(*config));
  config->server = server;
  config->connect_timeout = 5000;
  config->connect_retry_interval = 200;
  config->connect_retries = connect_retries;
  config->queue_size = queue_size;
  return QIVA_init(config);
}

static int track(qiva_config_t *config, qiva_event_t *event, const char *id,
                 qiva_values_list_t *data) {
  event->instance_id.transaction_id = BYTES(id);
  event->instance_id.size = (qiva_uint16_t)strlen(id);
  event->instance_id.transaction_data = data;
  int rc = QIVA_track(config, event);
  if (rc != QIVA_SUCCESS)
    fprintf(stderr, "page_cases: track %s: %d %s\n", id, rc, QIVA_strerror(rc));
  return rc != QIVA_SUCCESS;
}

static int track_type(qiva_config_t *config, qiva_uint32_t type, const char *id) {
  qiva_event_t event;
  memset(&event, 0, sizeof(event));
  event.type = type;
  return track(config, &event, id, NULL);
}

static void set_link(qiva_association_id_t *association, const char *link) {
  association->caller_type = QIVA_REST_CALLER;
  association->link_id = BYTES(link);
  association->link_id_size = (qiva_uint8_t)strlen(link);
}

/* A rolled-back transaction whose id, data, link and context are markup; one event blocked. */
static int send_markup(qiva_config_t *config) {
  qiva_values_list_t data = PAIR(NULL, "<b>customer</b>", kMarkupValue);
  qiva_values_list_t context = PAIR(NULL, "note", kMarkupValue);
  qiva_event_t event;
  int failures = 0;
  memset(&event, 0, sizeof(event));
  event.type = QIVA_STARTED_EVENT;
  event.vertical_context = &context;
  failures += track(config, &event, kMarkupId, &data);
  memset(&event, 0, sizeof(event));
  event.type = QIVA_HERE_EVENT;
  event.blocked = 1;
  failures += track(config, &event, kMarkupId, NULL);
  failures += track_type(config, QIVA_FINISHED_EVENT, kMarkupId);
  failures += track_type(config, QIVA_ROLLBACK_EVENT, kMarkupId);
  return failures;
}

/* An OUTBOUND whose link no event ever answers. */
static int send_unmatched(qiva_config_t *config) {
  static const char id[] = "orphan-call-1";
  qiva_event_t event;
  int failures = track_type(config, QIVA_STARTED_EVENT, id);
  memset(&event, 0, sizeof(event));
  event.type = QIVA_OUTBOUND_EVENT;
  set_link(&event.horizontal_id, "nobody-answers-1");
  failures += track(config, &event, id, NULL);
  failures += track_type(config, QIVA_FINISHED_EVENT, id);
  failures += track_type(config, QIVA_COMMIT_EVENT, id);
  return failures;
}

/*
 * Drops are counted per process: a configuration with a four-slot queue that cannot connect
 * (port 1 on loopback refuses) drops most of what it is given, and the statistics message of
 * the next connection made by any configuration reports the count.
 */
static int send_after_drops(const char *server) {
  static const char id[] = "after-drops-1";
  qiva_config_t stalled, reporting;
  int failures = 0;
  if (start_config(&stalled, "tcp:127.0.0.1:1", 4, 1) != QIVA_SUCCESS) return 1;
  for (int i = 0; i < 40; ++i) failures += track_type(&stalled, QIVA_HERE_EVENT, "dropped-1");
  if (start_config(&reporting, server, 0, 25) != QIVA_SUCCESS) return failures + 1;
  failures += track_type(&reporting, QIVA_STARTED_EVENT, id);
  failures += track_type(&reporting, QIVA_FINISHED_EVENT, id);
  failures += track_type(&reporting, QIVA_COMMIT_EVENT, id);
  failures += QIVA_flush(&reporting, &flush_timeout) != QIVA_SUCCESS;
  failures += QIVA_shutdown(&reporting) != QIVA_SUCCESS;
  QIVA_shutdown(&stalled); /* its queue can never be sent: any result will do */
  return failures;
}

/* One transaction of 50 000 events, flushed in slices so the queue never overflows. */
static int send_bulk(qiva_config_t *config) {
  static const char id[] = "bulk-50000";
  enum { kEvents = 50000, kSlice = 4000 };
  qiva_values_list_t step = PAIR(NULL, "step", "work");
  qiva_event_t event;
  int failures = track_type(config, QIVA_STARTED_EVENT, id);
  for (int i = 1; i < kEvents - 2 && failures == 0; ++i) {
    memset(&event, 0, sizeof(event));
    event.type = QIVA_HERE_EVENT;
    event.horizontal_context = &step;
    failures += track(config, &event, id, NULL);
    if (i % kSlice == 0) failures += QIVA_flush(config, &flush_timeout) != QIVA_SUCCESS;
  }
  failures += track_type(config, QIVA_FINISHED_EVENT, id);
  failures += track_type(config, QIVA_COMMIT_EVENT, id);
  return failures;
}

/* A short transaction, sent while a page follows the search. */
static int send_late(qiva_config_t *config) {
  static const char id[] = "late-arrival-1";
  return track_type(config, QIVA_STARTED_EVENT, id) + track_type(config, QIVA_FINISHED_EVENT, id) +
         track_type(config, QIVA_COMMIT_EVENT, id);
}

/* The failures of one case, or -1 when there is no case of that name. */
static int send_case(qiva_config_t *config, const char *server, const char *name) {
  if (strcmp(name, "markup") == 0) return send_markup(config);
  if (strcmp(name, "unmatched") == 0) return send_unmatched(config);
  if (strcmp(name, "drops") == 0) return send_after_drops(server);
  if (strcmp(name, "bulk") == 0) return send_bulk(config);
  if (strcmp(name, "late") == 0) return send_late(config);
  return -1;
}

int main(int argc, char **argv) {
  qiva_config_t config;
  int failures = 0;
  if (argc < 3) {
    fprintf(stderr, "usage: page_cases SERVER CASE...\n");
    return 2;
  }
  if (start_config(&config, argv[1], 8192, 25) != QIVA_SUCCESS) return 1;
  for (int i = 2; i < argc; ++i) {
    int result = send_case(&config, argv[1], argv[i]);
    if (result < 0) fprintf(stderr, "page_cases: unknown case %s\n", argv[i]);
    failures += result < 0 ? 1 : result;
  }
  failures += QIVA_flush(&config, &flush_timeout) != QIVA_SUCCESS;
  failures += QIVA_shutdown(&config) != QIVA_SUCCESS;
  return failures == 0 ? 0 : 1;
}
