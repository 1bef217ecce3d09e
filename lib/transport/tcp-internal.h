/*
 * The TCP module's private records and operations. The instance state and the endpoint
 * records live behind the `internal.module` pointers of the shared transport records; the
 * operations are exported under their module names but reached through the TRANSPORT_ layer.
 */
#ifndef VESKA_TRANSPORT_TCP_INTERNAL_H
#define VESKA_TRANSPORT_TCP_INTERNAL_H

#include <pthread.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "lib/transport/transport.h"

#ifdef __cplusplus
extern "C" {
#endif

struct event;
struct event_base;
struct addrinfo;

typedef struct tcp_endpoint_info tcp_endpoint_info;

/* One instance's state, created by _tcp_init and freed by _tcp_destroy. */
typedef struct tcp_transport_info {
  pthread_mutex_t endpoint_lock;    /* guards the list and the fields below it */
  tcp_endpoint_info *endpoint_info; /* head of the doubly linked list of endpoint records */
  int dispatching;                  /* 1 from the arming phase of a pass to the end of its wait */
  int close_endpoints;              /* an endpoint was closed during the current pass */
  int timed_out;                    /* an armed event timed out during the current pass */
  int endpoint_error;               /* the first non-zero handler result of the current pass */
  struct event_base *ev_base;       /* the instance's event base */
} tcp_transport_info;

/* One endpoint's record; on the instance's list from a successful connect, listen or accept
 * until close (or, when closed during a pass, until the next pass or destroy). */
struct tcp_endpoint_info {
  int closed;                          /* 1 once closed; may still be on the list */
  int socket;                          /* -1 while there is none */
  const char *address;                 /* caller's string at connect or listen; not owned */
  struct addrinfo *resolved_addresses; /* held only during connect or listen */
  transport_endpoint_t *endpoint;      /* back link; null once closed */
  tcp_endpoint_info *previous, *next;  /* list links */
  struct event *ev;                    /* readiness event, created lazily by dispatch */
  short ev_type;                       /* kinds ev is armed for: 0, 2, 4 or 6 */
};

/* One send (is_send non-zero) or recv on socket s with MSG_NOSIGNAL, so that writing to a
 * connection the peer closed fails with EPIPE instead of raising SIGPIPE. The system call's
 * result: bytes moved, 0 from recv when the peer closed, -1 with errno. Not retried on EINTR. */
ssize_t safe_send_recv(int is_send, int s, const void *buf, size_t len);

/* ---- Operations of tcp_transport_module, in table order ------------------------------- */

/* 0, 24 (no memory or no event base), 25 (lock), or the socket start-up's failure. */
int _tcp_init(transport_instance_t *transport);
/* Frees the state and every record still listed (their sockets are left open). 0. */
int _tcp_destroy(transport_instance_t *transport);
/* Bound, listening, non-blocking socket; str_addr gets the local address. 0, 21/23 from the
 * parser, 23 (nothing bound or listen failed), 24, 25, or -1 (non-blocking switch). */
int _tcp_listen(transport_endpoint_t *endpoint, const char *address);
/* Tries each resolved IPv4/IPv6 entry with a non-blocking connect waited for at most
 * timeout (null: no limit), which also becomes the connected socket's send time-out. 0 with
 * the socket left non-blocking (and close-on-exec); 27 for a passing failure
 * (refused, reset, unreachable), 28 when the wait expired, 23 for a lasting one, 21/23 from
 * the parser, 24, 25. On failure nothing is left to close. */
int _tcp_connect(transport_endpoint_t *endpoint, const char *address,
                 const struct timeval *timeout);
/* One pending connection into remote, non-blocking, with str_addr and connect_time set.
 * 0, 21 (local is not an open endpoint), 24, 27 (nothing pending), 23, 25. */
int _tcp_accept(transport_endpoint_t *local, transport_endpoint_t *remote);
/* Closes the socket; the record is freed now, or by the next pass when a pass is running.
 * A second close is harmless. 0, or 23 when the socket close failed, 25 (lock). */
int _tcp_close(transport_endpoint_t *endpoint);
/* One send or recv with MSG_NOSIGNAL; *size becomes the bytes moved (0 from receive: the
 * peer closed). 27 when it would block, 23 otherwise (a blocking send that moved nothing
 * within the send time-out is 23 too); *size unchanged on failure. */
int _tcp_send(transport_endpoint_t *endpoint, const char *buf, uint32_t *size);
int _tcp_receive(transport_endpoint_t *endpoint, char *buf, uint32_t *size);
/* One readiness pass over the instance's endpoints calling its handlers. 0 when handlers ran
 * and succeeded, 27 (nothing to wait for), 28 (time-out), 24 (event object), 25, or the
 * first handler failure. */
int _tcp_dispatch(transport_instance_t *transport, ve_time_t *timeout);
/* Non-zero blocking: blocking mode. 0, or -1 when the flags cannot be read or written. */
int _tcp_set_blocking(transport_endpoint_t *endpoint, int blocking);
/* The parser's result for address; the resolved list is released at once. */
int _tcp_check_address(const char *address);

/* "a.b.c.d:port" or "[v6]:port" into deststr (room maxlen). 0, 21 (unknown family or no
 * room), 23 (conversion failed). */
int _address_to_string(const struct sockaddr *pAddr, char *deststr, size_t maxlen);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_TRANSPORT_TCP_INTERNAL_H */
