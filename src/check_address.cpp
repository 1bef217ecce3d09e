// The public address check: whether a transport accepts an address, without connecting.
#include "lib/transport/transport.h"
#include "lib/vecommon/ve_logging.h"

VE_LOG_FILE("veska");

extern "C" {

int QIVA_check_address(const char *transport, const char *address) {
  VE_LOG_ENTER("QIVA_check_address");
  VE_RETURN(TRANSPORT_check_address(transport, address));
}

}  // extern "C"
