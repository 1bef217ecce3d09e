/*
 * veska public interface: the records an instrumented application fills in, the event and
 * caller vocabularies, the result codes, the message catalogue and every QIVA_ entry point.
 * This header is plain C (C99 and later) and is also valid C++.
 */
#ifndef VESKA_TYPES_H
#define VESKA_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Scalar types ---------------------------------------------------------------------- */

typedef uint8_t qiva_uint8_t;
typedef uint16_t qiva_uint16_t;
typedef uint32_t qiva_uint32_t;
typedef uint64_t qiva_uint64_t;
typedef int32_t qiva_int32_t;
/* Raw bytes whose length is carried by a companion size field; not NUL-terminated. */
typedef unsigned char qiva_byte_t;

/* ---- Records --------------------------------------------------------------------------- */

/* The records' layout is fixed (LP64): the library's build checks every size and offset. */

/* A point in time: seconds and microseconds (0 to 999999) since the epoch. */
typedef struct qiva_time_t {
  qiva_uint32_t sec;
  qiva_uint32_t usec;
} qiva_time_t;

/*
 * One tracking configuration. The application owns the record; its address identifies the
 * configuration from QIVA_init until QIVA_shutdown returns, so it must stay in place.
 * Zero fields take their defaults at QIVA_init (see there).
 */
typedef struct qiva_config_t {
  const char *server;                   /* "transport:address"; null: "tcp:127.0.0.1:5455" */
  qiva_uint32_t connect_timeout;        /* ms per connection attempt; 0: 30000 */
  qiva_uint32_t connect_retries;        /* 0: retry for ever; re-read after every failure */
  qiva_uint32_t connect_retry_interval; /* ms between attempts; 0: 5000 */
  qiva_uint32_t pad1;                   /* reserved, zero */
  void *handle;                         /* library state; set by QIVA_init, never touch */
  const char *token_filename;           /* token file for QIVA_token; null disables tokens */
  qiva_uint16_t queue_size;             /* event queue slots; 0: 1000 */
} qiva_config_t;

/* One item of a singly linked list of name/value pairs. */
typedef struct qiva_values_list_t {
  struct qiva_values_list_t *next; /* null at the end */
  const char *name;                /* terminated text, never null */
  const qiva_byte_t *value;        /* null only together with size 0 */
  qiva_uint16_t size;              /* bytes at value; 0 only together with a null value */
  qiva_uint16_t flags;             /* the caller's two flag bits, 0 to 3; not sent */
} qiva_values_list_t;

/* Identifies one transaction instance. */
typedef struct qiva_instance_id_t {
  const qiva_byte_t *transaction_id;    /* null, or size bytes */
  qiva_uint16_t size;                   /* non-zero exactly when transaction_id is set */
  qiva_uint16_t flags;                  /* 0 or 1 */
  qiva_uint32_t pad1;                   /* reserved, zero */
  qiva_values_list_t *transaction_data; /* transaction data pairs, or null */
} qiva_instance_id_t;

/* Links an event to a partner: horizontally across a call, or vertically to a caller. */
typedef struct qiva_association_id_t {
  qiva_uint32_t caller_type;      /* 0 to 255, see qiva_caller_type_t */
  qiva_uint32_t pad1;             /* reserved, zero */
  const qiva_byte_t *link_id;     /* null, or link_id_size bytes */
  qiva_uint8_t link_id_size;      /* non-zero exactly when link_id is set */
  qiva_uint8_t pad2;              /* reserved, zero */
  qiva_uint16_t flags;            /* 0 or 1 */
  qiva_uint32_t pad3;             /* reserved, zero */
  qiva_values_list_t *stitch_ids; /* stitch name/value pairs, or null */
} qiva_association_id_t;

/* Set in qiva_event_t.type when the record is a caller-built message block, not an event. */
#define QIVA_PREBUILT_BLOCK_FLAG 0x80000000u

/*
 * One tracking event, read by QIVA_track. The library copies everything it needs during the
 * call and keeps no pointer into the record afterwards.
 */
typedef struct qiva_event_t {
  qiva_uint32_t type;    /* qiva_event_type_t, or a pre-built block */
  qiva_time_t timestamp; /* 0 s 0 us means "now" */
  qiva_uint32_t pad1;    /* reserved, zero */
  qiva_instance_id_t instance_id;
  qiva_association_id_t horizontal_id;
  qiva_association_id_t vertical_id;
  qiva_values_list_t *horizontal_context; /* or null */
  qiva_values_list_t *vertical_context;   /* or null */
  qiva_int32_t blocked;                   /* non-zero marks the event blocked */
  qiva_int32_t pad2;                      /* reserved, zero */
  void *reserved1;                        /* reserved, null */
} qiva_event_t;

/* ---- Vocabularies ---------------------------------------------------------------------- */

typedef enum qiva_event_type_t {
  QIVA_STARTED_EVENT = 0,
  QIVA_HERE_EVENT = 1,
  QIVA_INBOUND_EVENT = 2,
  QIVA_OUTBOUND_EVENT = 3,
  QIVA_FINISHED_EVENT = 4,
  QIVA_STARTED_INBOUND_EVENT = 5,
  QIVA_OUTBOUND_FINISHED_EVENT = 6,
  QIVA_INBOUND_FINISHED_EVENT = 7,
  QIVA_COMMIT_EVENT = 8,
  QIVA_ROLLBACK_EVENT = 9,
  QIVA_EVENT_TYPE_COUNT = 10 /* also the "not found" result */
} qiva_event_type_t;

/*
 * Caller kinds. Values 1 to 23 are reserved kinds with names of their own, 24 to 199 are not
 * assigned, and every value from 200 up is a user kind named "USER".
 */
typedef enum qiva_caller_type_t {
  QIVA_ANY_CALLER = 0,
  QIVA_HTTP_CALLER = 1,
  QIVA_SOAP_CALLER = 2,
  QIVA_REST_CALLER = 3,
  QIVA_GRPC_CALLER = 4,
  QIVA_RMI_CALLER = 5,
  QIVA_CORBA_CALLER = 6,
  QIVA_JMS_CALLER = 7,
  QIVA_MQ_CALLER = 8,
  QIVA_AMQP_CALLER = 9,
  QIVA_KAFKA_CALLER = 10,
  QIVA_JDBC_CALLER = 11,
  QIVA_ODBC_CALLER = 12,
  QIVA_SQL_CALLER = 13,
  QIVA_CICS_CALLER = 14,
  QIVA_IMS_CALLER = 15,
  QIVA_TUXEDO_CALLER = 16,
  QIVA_SAP_CALLER = 17,
  QIVA_LDAP_CALLER = 18,
  QIVA_SMTP_CALLER = 19,
  QIVA_FTP_CALLER = 20,
  QIVA_BATCH_CALLER = 21,
  QIVA_SCHED_CALLER = 22,
  QIVA_NATIVE_CALLER = 23,
  QIVA_MAX_RESERVED_CALLER = 23,
  QIVA_USER_CALLER = 200,
  QIVA_MAX_USER_CALLER = 255,
  QIVA_CALLER_TYPE_COUNT = 256 /* also the "not found" result */
} qiva_caller_type_t;

/* ---- Result codes ---------------------------------------------------------------------- */

/* Each code is the one its message of the same name carries in the catalogue below; the
 * library's build fails if the two disagree. */

#define QIVA_SUCCESS 0
#define QIVA_ERR_Z_PRAXEN_SUBSYS_NOT_CREATED 10
#define QIVA_ERR_Z_PRAXEN_INVALID_CONF_TOKEN 11
#define QIVA_ERR_Z_PRAXEN_SUBSYS_INACTIVE 12
#define QIVA_ERR_Z_DISPATCHER_UNAVAILABLE 13
#define QIVA_ERR_Z_NO_STORAGE 14
#define QIVA_ERR_Z_NO_ASID 15
#define QIVA_ERR_Z_NO_COURIER 16
#define QIVA_ERR_Z_OSERROR 17
#define QIVA_ERR_INVALID 21   /* null or out-of-range argument, malformed address or file */
#define QIVA_ERR_NOTIMPL 22   /* not implemented (never returned) */
#define QIVA_ERR_TRANSPORT 23 /* transport failure */
#define QIVA_ERR_NOMEM 24     /* allocation failed, or the host-address buffer overflowed */
#define QIVA_ERR_OSERROR 25   /* a system call failed */
#define QIVA_ERR_LOGIC 26     /* wrong state (not initialised, already initialised, ...) */
#define QIVA_ERR_AGAIN 27     /* the operation would block */
#define QIVA_ERR_TIMEDOUT 28  /* a flush or network wait timed out, or retries ran out */

#define QIVA_ERR_EVENT_INTERNAL 100 /* the serialised event would not fit in a message */
#define QIVA_ERR_EVENT_INVALID_EVENT_BLOCK_ADDRESS 101
#define QIVA_ERR_EVENT_INVALID_EVENT_TYPE 102
#define QIVA_ERR_EVENT_INVALID_TIMESTAMP 103
#define QIVA_ERR_EVENT_INVALID_TID_LENGTH 104
#define QIVA_ERR_EVENT_INVALID_TID_FLAG 105
#define QIVA_ERR_EVENT_INVALID_TID_ADDRESS 106
#define QIVA_ERR_EVENT_INVALID_HLINK_LENGTH 110
#define QIVA_ERR_EVENT_INVALID_HLINK_FLAG 111
#define QIVA_ERR_EVENT_INVALID_HLINK_CALLER 112
#define QIVA_ERR_EVENT_INVALID_HLINK_ADDRESS 113
#define QIVA_ERR_EVENT_INVALID_VLINK_LENGTH 120
#define QIVA_ERR_EVENT_INVALID_VLINK_FLAG 121
#define QIVA_ERR_EVENT_INVALID_VLINK_CALLER 122
#define QIVA_ERR_EVENT_INVALID_VLINK_ADDRESS 123

/* Faulty values-list items: base + kind (1 name, 2 value, 3 length, 4 flag, 5 pair). */
#define QIVA_ERR_EVENT_TDATA_BASE 129
#define QIVA_ERR_EVENT_HSTITCH_BASE 139
#define QIVA_ERR_EVENT_VSTITCH_BASE 149
#define QIVA_ERR_EVENT_HCONTEXT_BASE 159
#define QIVA_ERR_EVENT_VCONTEXT_BASE 169
#define QIVA_LIST_FAULT_NAME 1
#define QIVA_LIST_FAULT_VALUE 2
#define QIVA_LIST_FAULT_LENGTH 3
#define QIVA_LIST_FAULT_FLAG 4
#define QIVA_LIST_FAULT_PAIR 5

#define QIVA_ERR_EVENT_INVALID_TDATA_NAME 130
#define QIVA_ERR_EVENT_INVALID_TDATA_VALUE 131
#define QIVA_ERR_EVENT_INVALID_TDATA_LENGTH 132
#define QIVA_ERR_EVENT_INVALID_TDATA_FLAG 133
#define QIVA_ERR_EVENT_INVALID_TDATA_PAIR 134
#define QIVA_ERR_EVENT_INVALID_HSTITCH_NAME 140
#define QIVA_ERR_EVENT_INVALID_HSTITCH_VALUE 141
#define QIVA_ERR_EVENT_INVALID_HSTITCH_LENGTH 142
#define QIVA_ERR_EVENT_INVALID_HSTITCH_FLAG 143
#define QIVA_ERR_EVENT_INVALID_HSTITCH_PAIR 144
#define QIVA_ERR_EVENT_INVALID_VSTITCH_NAME 150
#define QIVA_ERR_EVENT_INVALID_VSTITCH_VALUE 151
#define QIVA_ERR_EVENT_INVALID_VSTITCH_LENGTH 152
#define QIVA_ERR_EVENT_INVALID_VSTITCH_FLAG 153
#define QIVA_ERR_EVENT_INVALID_VSTITCH_PAIR 154
#define QIVA_ERR_EVENT_INVALID_HCONTEXT_NAME 160
#define QIVA_ERR_EVENT_INVALID_HCONTEXT_VALUE 161
#define QIVA_ERR_EVENT_INVALID_HCONTEXT_LENGTH 162
#define QIVA_ERR_EVENT_INVALID_HCONTEXT_FLAG 163
#define QIVA_ERR_EVENT_INVALID_HCONTEXT_PAIR 164
#define QIVA_ERR_EVENT_INVALID_VCONTEXT_NAME 170
#define QIVA_ERR_EVENT_INVALID_VCONTEXT_VALUE 171
#define QIVA_ERR_EVENT_INVALID_VCONTEXT_LENGTH 172
#define QIVA_ERR_EVENT_INVALID_VCONTEXT_FLAG 173
#define QIVA_ERR_EVENT_INVALID_VCONTEXT_PAIR 174

/* ---- Message catalogue ------------------------------------------------------------------ */

/*
 * The one list of messages: X(id, enumerator, identifier, text, result code or -1). The
 * enumeration below, the prefix and text tables and the QIVA_strerror mapping are all
 * generated from it, so they cannot disagree. Texts with %s or %hu are format strings.
 */
/* clang-format off */
#define QIVA_MESSAGE_CATALOGUE(X) \
  X(0, QIVA_MSG_DEBUG, "QIVAD00I", "QIVAD00I %s", -1) \
  X(1, QIVA_MSG_SUCCESS, "QIVAD01I", "Operation succeeded", 0) \
  X(2, QIVA_MSG_Z_PRAXEN_SUBSYS_NOT_CREATED, "QIVAD02E", "Praxen subsystem not created", 10) \
  X(3, QIVA_MSG_Z_PRAXEN_INVALID_CONF_TOKEN, "QIVAD03E", "Invalid Configuration Token passed", 11) \
  X(4, QIVA_MSG_Z_PRAXEN_SUBSYS_INACTIVE, "QIVAD04E", "Container subsystem inactive", 12) \
  X(5, QIVA_MSG_Z_DISPATCHER_UNAVAILABLE, "QIVAD05E", "Dispatcher unavailable", 13) \
  X(6, QIVA_MSG_Z_NO_STORAGE, "QIVAD06E", "No more storage available", 14) \
  X(7, QIVA_MSG_Z_NO_ASID, "QIVAD07E", "No more ASIDs in ASID pool", 15) \
  X(8, QIVA_MSG_Z_NO_COURIER, "QIVAD08E", "No Couriers available", 16) \
  X(9, QIVA_MSG_Z_OSERROR, "QIVAD09E", "System Error", 17) \
  X(10, QIVA_MSG_INVALID, "QIVAD10E", "Invalid parameter(s)", 21) \
  X(11, QIVA_MSG_NOTIMPL, "QIVAD11E", "Not implemented", 22) \
  X(12, QIVA_MSG_TRANSPORT, "QIVAD12E", "Transport error", 23) \
  X(13, QIVA_MSG_NOMEM, "QIVAD13E", "Memory allocation failed", 24) \
  X(14, QIVA_MSG_OSERROR, "QIVAD14E", "OS Error", 25) \
  X(15, QIVA_MSG_LOGIC, "QIVAD15E", "Logic error - unexpected result occurred", 26) \
  X(16, QIVA_MSG_AGAIN, "QIVAD16E", "Operation would block", 27) \
  X(17, QIVA_MSG_TIMEDOUT, "QIVAD17E", "Operation timed out", 28) \
  X(18, QIVA_MSG_TRANSPORT_CONNECT_FAILED, "QIVAD18E", "Transport connection to '%s' failed", -1) \
  X(19, QIVA_MSG_TRANSPORT_LISTEN_FAILED, "QIVAD19E", "Transport failed to listen on '%s'", -1) \
  X(20, QIVA_MSG_TRANSPORT_INVALID_ADDRESS, "QIVAD20E", "Address '%s' is not properly formatted: %s", -1) \
  X(21, QIVA_MSG_EVENT_INTERNAL, "QIVAD21E", "Internal error", 100) \
  X(22, QIVA_MSG_EVENT_INVALID_EVENT_BLOCK_ADDRESS, "QIVAD22E", "Invalid event block address", 101) \
  X(23, QIVA_MSG_EVENT_INVALID_EVENT_TYPE, "QIVAD23E", "Invalid event type", 102) \
  X(24, QIVA_MSG_EVENT_INVALID_TIMESTAMP, "QIVAD24E", "Invalid timestamp (usec >= 1000000)", 103) \
  X(25, QIVA_MSG_EVENT_INVALID_TID_LENGTH, "QIVAD25E", "Invalid transaction ID length (not positive)", 104) \
  X(26, QIVA_MSG_EVENT_INVALID_TID_FLAG, "QIVAD26E", "Invalid transaction ID flag", 105) \
  X(27, QIVA_MSG_EVENT_INVALID_TID_ADDRESS, "QIVAD27E", "Invalid transaction ID address", 106) \
  X(28, QIVA_MSG_EVENT_INVALID_HLINK_LENGTH, "QIVAD28E", "Invalid horizontal ID length (not positive)", 110) \
  X(29, QIVA_MSG_EVENT_INVALID_HLINK_FLAG, "QIVAD29E", "Invalid horizontal ID flag", 111) \
  X(30, QIVA_MSG_EVENT_INVALID_HLINK_CALLER, "QIVAD30E", "Invalid horizontal caller type", 112) \
  X(31, QIVA_MSG_EVENT_INVALID_HLINK_ADDRESS, "QIVAD31E", "Invalid horizontal ID address", 113) \
  X(32, QIVA_MSG_EVENT_INVALID_VLINK_LENGTH, "QIVAD32E", "Invalid vertical ID length (not posi tive)", 120) \
  X(33, QIVA_MSG_EVENT_INVALID_VLINK_FLAG, "QIVAD33E", "Invalid vertical ID flag", 121) \
  X(34, QIVA_MSG_EVENT_INVALID_VLINK_CALLER, "QIVAD34E", "Invalid vertical caller type", 122) \
  X(35, QIVA_MSG_EVENT_INVALID_VLINK_ADDRESS, "QIVAD35E", "Invalid vertical caller address", 123) \
  X(36, QIVA_MSG_EVENT_INVALID_TDATA_NAME, "QIVAD36E", "Invalid Name string address in transaction list", 130) \
  X(37, QIVA_MSG_EVENT_INVALID_TDATA_VALUE, "QIVAD37E", "Invalid Value string address in transaction list", 131) \
  X(38, QIVA_MSG_EVENT_INVALID_TDATA_LENGTH, "QIVAD38E", "Invalid Value string len in transaction list", 132) \
  X(39, QIVA_MSG_EVENT_INVALID_TDATA_FLAG, "QIVAD39E", "Invalid Name Value flag in transaction list", 133) \
  X(40, QIVA_MSG_EVENT_INVALID_TDATA_PAIR, "QIVAD40E", "Invalid Name/Value pair address in transaction list", 134) \
  X(41, QIVA_MSG_EVENT_INVALID_HSTITCH_NAME, "QIVAD41E", "Invalid Name string address in horizontal stitch list", 140) \
  X(42, QIVA_MSG_EVENT_INVALID_HSTITCH_VALUE, "QIVAD42E", "Invalid Value string address in horizontal stitch list", 141) \
  X(43, QIVA_MSG_EVENT_INVALID_HSTITCH_LENGTH, "QIVAD43E", "Invalid Value string len in horizontal stitch list", 142) \
  X(44, QIVA_MSG_EVENT_INVALID_HSTITCH_FLAG, "QIVAD44E", "Invalid Name Value flag in horizontal stitch list", 143) \
  X(45, QIVA_MSG_EVENT_INVALID_HSTITCH_PAIR, "QIVAD45E", "Invalid Name/Value pair address in horizontal stitch list", 144) \
  X(46, QIVA_MSG_EVENT_INVALID_VSTITCH_NAME, "QIVAD46E", "Invalid Name string address in vertical stitch list", 150) \
  X(47, QIVA_MSG_EVENT_INVALID_VSTITCH_VALUE, "QIVAD47E", "Invalid Value string address in vertical stitch list", 151) \
  X(48, QIVA_MSG_EVENT_INVALID_VSTITCH_LENGTH, "QIVAD48E", "Invalid Value string len in vertical stitch list", 152) \
  X(49, QIVA_MSG_EVENT_INVALID_VSTITCH_FLAG, "QIVAD49E", "Invalid Name Value flag in vertical stitch list", 153) \
  X(50, QIVA_MSG_EVENT_INVALID_VSTITCH_PAIR, "QIVAD50E", "Invalid Name/Value pair address in vertical stitch list", 154) \
  X(51, QIVA_MSG_EVENT_INVALID_HCONTEXT_NAME, "QIVAD51E", "Invalid Name string address in horizontal context list", 160) \
  X(52, QIVA_MSG_EVENT_INVALID_HCONTEXT_VALUE, "QIVAD52E", "Invalid Value string address in horizontal context list", 161) \
  X(53, QIVA_MSG_EVENT_INVALID_HCONTEXT_LENGTH, "QIVAD53E", "Invalid Value string len in horizontal context list", 162) \
  X(54, QIVA_MSG_EVENT_INVALID_HCONTEXT_FLAG, "QIVAD54E", "Invalid Name Value flag in horizontal context list", 163) \
  X(55, QIVA_MSG_EVENT_INVALID_HCONTEXT_PAIR, "QIVAD55E", "Invalid Name/Value pair address in horizontal context list", 164) \
  X(56, QIVA_MSG_EVENT_INVALID_VCONTEXT_NAME, "QIVAD56E", "Invalid Name string address in vertical context list", 170) \
  X(57, QIVA_MSG_EVENT_INVALID_VCONTEXT_VALUE, "QIVAD57E", "Invalid Value string address in vertical context list", 171) \
  X(58, QIVA_MSG_EVENT_INVALID_VCONTEXT_LENGTH, "QIVAD58E", "Invalid Value string len in vertical context list", 172) \
  X(59, QIVA_MSG_EVENT_INVALID_VCONTEXT_FLAG, "QIVAD59E", "Invalid Name Value flag in vertical context list", 173) \
  X(60, QIVA_MSG_EVENT_INVALID_VCONTEXT_PAIR, "QIVAD60E", "Invalid Name/Value pair address in vertical context list", 174) \
  X(61, QIVA_MSG_VESKA_ALREADY_INITIALISED, "QIVAD61E", "VESKA is already initialised", -1) \
  X(62, QIVA_MSG_VESKA_NOT_INITIALISED, "QIVAD62E", "VESKA is not initialised", -1) \
  X(63, QIVA_MSG_VESKA_INITIATING_CONNECTION, "QIVAD63I", "Initiating connection to '%s'", -1) \
  X(64, QIVA_MSG_VESKA_CONNECTED, "QIVAD64I", "Connected to '%s'", -1) \
  X(65, QIVA_MSG_VESKA_LOST_CONNECTION, "QIVAD65W", "Lost connection to the server", -1) \
  X(66, QIVA_MSG_VESKA_ADDRESS_MISSING_COLON, "QIVAD66E", "Transport address malformed: expected format 'transport:address', found '%s'", -1) \
  X(67, QIVA_MSG_VESKA_RETRIES_EXCEEDED, "QIVAD67E", "Connection retry count exceeded", -1) \
  X(68, QIVA_MSG_VESKA_QUEUE_EXCEEDED, "QIVAD68W", "Event queue full (size %hu) - dropping old event", -1)

typedef enum qiva_message_id_t {
#define QIVA_MESSAGE_ENUMERATOR_(id, enumerator, identifier, text, code) enumerator = id,
  QIVA_MESSAGE_CATALOGUE(QIVA_MESSAGE_ENUMERATOR_)
#undef QIVA_MESSAGE_ENUMERATOR_
  QIVA_MESSAGE_ID_COUNT = 69
} qiva_message_id_t;
/* clang-format on */

/* Per id, "QIVADnnS " (identifier and one blank) and the text; entry 69 of both is null. */
extern const char *const QIVA_message_prefixes[QIVA_MESSAGE_ID_COUNT + 1];
extern const char *const QIVA_messages[QIVA_MESSAGE_ID_COUNT + 1];

/* Names of event types 0 to 9, then null. */
extern const char *const qiva_event_type_names[QIVA_EVENT_TYPE_COUNT + 1];
/* Names of caller types 0 to 23, then null ("USER" is not in the table). */
extern const char *const qiva_caller_type_names[QIVA_MAX_RESERVED_CALLER + 2];

/* ---- Vocabulary and message look-ups (no state, no lock, any thread) --------------------- */

/* The first event type whose name equals name ignoring ASCII case; 10 when none or null. */
qiva_event_type_t QIVA_get_event_type(const char *name);
/* The name of types 0 to 9; null otherwise. */
const char *QIVA_get_event_name(qiva_event_type_t type);
/* The first of the types 0 to 23 named name ignoring ASCII case; 256 when none or null. */
qiva_caller_type_t QIVA_get_caller_type(const char *name);
/* "USER" from 200 up, null for 24 to 199, the table name for 0 to 23. */
const char *QIVA_get_caller_name(qiva_caller_type_t type);
/* The constant text of a result code, "<unknown>" for any number that is not one. */
const char *QIVA_strerror(int code);
/* Text and prefix of a message; null for id 69 and beyond. */
const char *QIVA_getmsg(qiva_message_id_t id);
const char *QIVA_getmsg_prefix(qiva_message_id_t id);
/* Writes the system's text for this thread's errno into buffer (size bytes, terminated). */
char *QIVA_last_system_error(char *buffer, int size);
/* 0 for interface version 0, the only one this library accepts; 21 otherwise. */
int QIVA_check_version_(unsigned long version);
/*
 * The release and the build's identity as one constant text, release first, for example
 * "1.0.0 (revision 94ff0ed1c2a3, RelWithDebInfo, configured 2026-12-09 14:50:01)". Never null;
 * the library owns it. Any thread, at any time, before or without QIVA_init.
 */
const char *QIVA_version(void);

/* ---- Lifecycle ------------------------------------------------------------------------- */

typedef void (*qiva_init_callback_t)(qiva_config_t *config, int result);
typedef void (*qiva_shutdown_callback_t)(qiva_config_t *config, int result);

/* Observers of every QIVA_init and QIVA_shutdown; owned by the registering component. */
typedef struct qiva_callbacks_t {
  qiva_init_callback_t on_after_init;         /* may be null */
  qiva_shutdown_callback_t on_after_shutdown; /* may be null */
} qiva_callbacks_t;

/*
 * Starts a configuration: writes the defaults into zero fields, creates its queue and
 * transport and starts its dispatcher thread. 0, or 21 (null), 24, 25, 26 (already active),
 * or the code of the failing step; on failure the record is left inactive (handle null).
 * The registered callbacks run with the result in every case but a lock failure.
 */
int QIVA_init(qiva_config_t *config);
/*
 * Stops a configuration: its dispatcher sends what is queued and is joined, then its state
 * is released and handle reset. 0, 21, 25, 26 (not active), or the dispatcher's own result
 * (28 when it gave up connecting). The record is inactive afterwards in every case but 25.
 */
int QIVA_shutdown(qiva_config_t *config);
/*
 * Waits until the data queued before the call has been written to the collector, or until
 * timeout has passed (null: no limit). 0, 21 (null config), 26 (not active), 28 (timed out).
 */
int QIVA_flush(qiva_config_t *config, qiva_time_t *timeout);
/* Callbacks run newest registration first, under the lock QIVA_init and QIVA_shutdown hold:
 * they must not call those four operations. 0, 24, 25 / 0, 25, 26. */
int QIVA_register_callbacks(qiva_callbacks_t *callbacks);
int QIVA_deregister_callbacks(qiva_callbacks_t *callbacks);

/* ---- Tracking, tokens, addresses, diagnostics ------------------------------------------ */

/*
 * Validates, serialises and queues one event for the configuration's collector. Never waits
 * for the network; a full queue drops its oldest message. 0 when queued; 21, 26, 24, 100 (too
 * large), or the validation code 102 to 173. Nothing is queued after a failure.
 */
int QIVA_track(qiva_config_t *config, qiva_event_t *event);
/*
 * A 32-bit token unique among the processes of the host that share config->token_filename:
 * the file's prefix in bits 31-24, a shared counter in bits 23-0. 0 with *token set, or 21,
 * 25, or the token file's code on every call of this activation.
 */
int QIVA_token(qiva_config_t *config, qiva_int32_t *token);
/* Says whether address is acceptable to the named transport, without connecting. */
int QIVA_check_address(const char *transport, const char *address);
/* Writes the event field by field to the diagnostic log (detail level). event not null. */
void QIVA_log_ve_event(const qiva_event_t *event);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_TYPES_H */
