// The "null" transport: every operation succeeds and does nothing, so a configuration that
// names it runs the whole library and discards every message.
#include "lib/transport/transport.h"
#include "types.h"

namespace {

int _null_init(transport_instance_t *) { return 0; }
int _null_destroy(transport_instance_t *) { return 0; }
int _null_listen(transport_endpoint_t *, const char *) { return 0; }
int _null_connect(transport_endpoint_t *, const char *, const struct timeval *) { return 0; }
int _null_accept(transport_endpoint_t *, transport_endpoint_t *) { return 0; }
int _null_close(transport_endpoint_t *) { return 0; }
// *size is left as offered: a send reports the whole buffer as sent, a receive reports the
// offered room as filled without touching it.
int _null_send(transport_endpoint_t *, const char *, uint32_t *) { return 0; }
int _null_receive(transport_endpoint_t *, char *, uint32_t *) { return 0; }
// There is never anything to wait for; reporting that ends TRANSPORT_dispatch at once
// instead of repeating empty passes for ever.
int _null_dispatch(transport_instance_t *, ve_time_t *) { return QIVA_ERR_AGAIN; }
int _null_set_blocking(transport_endpoint_t *, int) { return 0; }
int _null_check_address(const char *) { return 0; }

}  // namespace

extern "C" {

transport_module_t null_transport_module = {
    "null",              /* name */
    _null_init,          /* init_function */
    _null_destroy,       /* destroy_function */
    _null_listen,        /* listen_function */
    _null_connect,       /* connect_function */
    _null_accept,        /* accept_function */
    _null_close,         /* close_function */
    _null_send,          /* send_function */
    _null_receive,       /* receive_function */
    _null_dispatch,      /* dispatch_function */
    _null_set_blocking,  /* setblocking_function */
    _null_check_address, /* check_address_function */
    nullptr,             /* next: set by registration */
};

}  // extern "C"
