// The subsystem transport "ssn": only its address check exists. It is exported but never
// registered, so a look-up by name does not find it.
#include <string.h>

#include "lib/transport/transport.h"
#include "types.h"

extern "C" {

int _ssn_check_address(const char *address) {
  if (address == nullptr) return QIVA_ERR_INVALID;
  return strlen(address) == 4 ? 0 : QIVA_ERR_Z_PRAXEN_INVALID_CONF_TOKEN;
}

transport_module_t ssn_transport_module = {
    "ssn",              /* name */
    nullptr,            /* init_function */
    nullptr,            /* destroy_function */
    nullptr,            /* listen_function */
    nullptr,            /* connect_function */
    nullptr,            /* accept_function */
    nullptr,            /* close_function */
    nullptr,            /* send_function */
    nullptr,            /* receive_function */
    nullptr,            /* dispatch_function */
    nullptr,            /* setblocking_function */
    _ssn_check_address, /* check_address_function */
    nullptr,            /* next: never registered */
};

}  // extern "C"
