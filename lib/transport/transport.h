/*
 * The transport interface: a module is a table of operations for one kind of connection,
 * found by name in a process-wide registry; an instance is one owner's use of a module; an
 * endpoint is one connection or listening point. Callers go through the TRANSPORT_ layer.
 */
#ifndef VESKA_TRANSPORT_TRANSPORT_H
#define VESKA_TRANSPORT_TRANSPORT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>

#include "lib/vecommon/ve_types.h"

#ifdef __cplusplus
extern "C" {
#endif

struct transport_module_t;
struct transport_instance_t;
struct transport_endpoint_t;
typedef struct transport_module_t transport_module_t;
typedef struct transport_instance_t transport_instance_t;
typedef struct transport_endpoint_t transport_endpoint_t;

typedef int (*transport_init_function)(transport_instance_t *);
typedef int (*transport_destroy_function)(transport_instance_t *);
typedef int (*transport_listen_function)(transport_endpoint_t *, const char *address);
typedef int (*transport_connect_function)(transport_endpoint_t *, const char *address,
                                          const struct timeval *timeout);
typedef int (*transport_accept_function)(transport_endpoint_t *local, transport_endpoint_t *remote);
typedef int (*transport_close_function)(transport_endpoint_t *);
typedef int (*transport_send_function)(transport_endpoint_t *, const char *buf, uint32_t *size);
typedef int (*transport_receive_function)(transport_endpoint_t *, char *buf, uint32_t *size);
typedef int (*transport_dispatch_function)(transport_instance_t *, ve_time_t *timeout);
typedef int (*transport_setblocking_function)(transport_endpoint_t *, int blocking);
typedef int (*transport_check_address_function)(const char *address);

/* One module's operations; static data of the module, linked (never copied) by the registry. */
struct transport_module_t {
  const char *name;                                        /* matched ignoring case */
  transport_init_function init_function;                   /* create per-instance state */
  transport_destroy_function destroy_function;             /* release it */
  transport_listen_function listen_function;               /* open a listening endpoint */
  transport_connect_function connect_function;             /* connect, waiting at most timeout */
  transport_accept_function accept_function;               /* accept one pending connection */
  transport_close_function close_function;                 /* close an endpoint */
  transport_send_function send_function;                   /* send up to *size bytes */
  transport_receive_function receive_function;             /* receive up to *size bytes */
  transport_dispatch_function dispatch_function;           /* one readiness pass over endpoints */
  transport_setblocking_function setblocking_function;     /* blocking or non-blocking I/O */
  transport_check_address_function check_address_function; /* accept an address? */
  transport_module_t *next;                                /* registry link */
};

typedef int (*on_readable_handler)(transport_endpoint_t *);
typedef int (*on_writeable_handler)(transport_endpoint_t *);
typedef int (*is_readable_handler)(transport_endpoint_t *);
typedef int (*is_writeable_handler)(transport_endpoint_t *);

typedef struct transport_instance_internal_t {
  void *module; /* the module's private state for this instance */
} transport_instance_internal_t;

struct transport_instance_t {
  on_readable_handler on_readable;   /* null: reading is not watched */
  on_writeable_handler on_writeable; /* null: writing is not watched */
  is_readable_handler is_readable;   /* non-zero answer: do not watch reading this pass */
  is_writeable_handler is_writeable; /* the same for writing */
  transport_module_t *module;        /* set by TRANSPORT_init on success only */
  void *userdata;                    /* the owner's */
  transport_instance_internal_t internal;
};

typedef struct transport_endpoint_internal_t {
  void *common; /* unused by the library's modules */
  void *module; /* the module's private record for this endpoint */
} transport_endpoint_internal_t;

#define TRANSPORT_ADDRESS_TEXT_SIZE 128

struct transport_endpoint_t {
  transport_instance_t *transport; /* set at connect, listen or accept; cleared on failure */
  void *userdata;                  /* the owner's */
  transport_endpoint_internal_t internal;
  char str_addr[TRANSPORT_ADDRESS_TEXT_SIZE]; /* "host:port", "[v6]:port", or empty */
  qiva_time_t connect_time;                   /* when an accepted connection was accepted */
};

/* ---- Registry ------------------------------------------------------------------------- */

/* The registered module named name (ignoring case), or null. Fills the registry once. */
transport_module_t *TRANSPORT_lookup(const char *name);
/* Registers "tcp", then "null"; runs once per process on the first look-up. */
void TRANSPORT_register_transports(void);

extern transport_module_t tcp_transport_module;
extern transport_module_t null_transport_module;
extern transport_module_t ssn_transport_module; /* exported, never registered */

/* The "ssn" module's address check: 0 for exactly 4 characters, 11 for any other length,
 * 21 for a null address. */
int _ssn_check_address(const char *address);

/* ---- Call layer ----------------------------------------------------------------------- */

int TRANSPORT_init(transport_instance_t *transport, const char *module_name); /* 21: unknown */
int TRANSPORT_destroy(transport_instance_t *instance);
int TRANSPORT_connect_timeout(transport_instance_t *transport, transport_endpoint_t *endpoint,
                              const char *address, const struct timeval *timeout);
int TRANSPORT_connect(transport_instance_t *transport, transport_endpoint_t *endpoint,
                      const char *address); /* 30 s time-out */
int TRANSPORT_listen(transport_instance_t *transport, transport_endpoint_t *endpoint,
                     const char *address);
int TRANSPORT_accept(transport_endpoint_t *local_endpoint, transport_endpoint_t *remote_endpoint);
/*
 * Sends up to *size bytes from buf in one call of the module. 0: *size now holds the number of
 * bytes taken, which may be fewer than offered (a partial transfer, even on a blocking
 * endpoint): the caller sends the rest with further calls. 27: a non-blocking endpoint would
 * block, nothing was sent. 21: null endpoint or size, a null buf with a non-zero *size, or a
 * detached endpoint; 22: the module cannot send; 23: the connection failed, is closed or was
 * never made. *size is unchanged on every non-zero result. The "null" module takes every byte.
 */
int TRANSPORT_send(transport_endpoint_t *endpoint, const char *buf, uint32_t *size);
/*
 * Receives up to *size bytes into buf in one call of the module. 0: *size now holds the number
 * of bytes received, 1 to the room offered; 0 bytes for a non-zero room means the peer closed
 * the connection (the caller closes its endpoint; later calls give 0 bytes again or 23).
 * 27: a non-blocking endpoint has nothing to read yet. 21, 22 and 23 as for TRANSPORT_send;
 * *size is unchanged on every non-zero result. The "null" module reports the whole room as
 * filled without writing to buf.
 */
int TRANSPORT_receive(transport_endpoint_t *endpoint, char *buf, uint32_t *size);
/* 0 for a null or never-connected endpoint, without calling the module. */
int TRANSPORT_close(transport_endpoint_t *endpoint);
/* 21 for a null or detached endpoint. The TCP module reports a failed switch as -1. */
int TRANSPORT_set_blocking(transport_endpoint_t *endpoint, int blocking);
/* Repeats passes while they return 0; 27 (nothing to wait for) is reported as 0. */
int TRANSPORT_dispatch(transport_instance_t *transport, ve_time_t *timeout);
/* 21 when no registered module has that name; otherwise the module's own check. */
int TRANSPORT_check_address(const char *module_name, const char *address);
/* Splits a server text "transport:address" at its first colon: returns the address (the text
 * after that colon, inside server) and sets *name_length to the length of the module name
 * before it, 0 for ":address". Null, with *name_length 0, for a null server or one without
 * a colon. */
const char *TRANSPORT_split_server(const char *server, size_t *name_length);

/* ---- TCP address parsing -------------------------------------------------------------- */

struct addrinfo;

/* Platform socket start-up, run once per process; returns its stored result (0 on Linux). */
int TRANSPORT_TCP_initialise_sockets(void);
/* Parses "host:port" or "[v6]:port" and resolves the host. 0: *ai holds a list the caller
 * releases with freeaddrinfo, the port set in every IPv4 and IPv6 entry. 21: malformed
 * (reason logged), 23: the host does not resolve, 24: no memory; *ai is untouched then. */
int TRANSPORT_TCP_parse_address(const char *address, struct addrinfo **ai);
/* 1 when a connected TCP endpoint's peer has closed or reset the connection (its socket has
 * become readable: the collector never sends), found without blocking; 0 otherwise, and for
 * endpoints of other modules. The dispatcher asks before each write, so that a batch is not
 * handed to a connection that is already gone. */
int TRANSPORT_TCP_peer_closed(transport_endpoint_t *endpoint);
/* Fork support: a non-zero take takes a TCP instance's endpoint lock, zero releases it (in
 * the parent and the child alike), so a child never inherits it held. Instances of other
 * modules, or without state, are left alone. */
void TRANSPORT_TCP_fork_lock(transport_instance_t *transport, int take);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_TRANSPORT_TRANSPORT_H */
