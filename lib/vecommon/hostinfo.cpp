// The host name. Socket initialisation is a one-time step on some platforms; here there is
// nothing to do, but the result is kept so that a port can report its failure.
#include "lib/vecommon/hostinfo.h"

#include <unistd.h>

#include "lib/vecommon/ve_logging.h"

VE_LOG_FILE("vecommon");

namespace {

int _initialise_sockets_error = 0;
ve_once_t _initialise_sockets_once = VE_ONCE_INIT;

int _initialise_sockets() { return 0; }

void _proxy_initialise_sockets() { _initialise_sockets_error = _initialise_sockets(); }

}  // namespace

extern "C" {

int QIVA_hostname(char *buf, size_t len) {
  VE_LOG_ENTER("QIVA_hostname");
  VE_once(&_initialise_sockets_once, _proxy_initialise_sockets);
  if (_initialise_sockets_error != 0) VE_RETURN(_initialise_sockets_error);
  if (buf == nullptr || len == 0) VE_RETURN(QIVA_ERR_INVALID);
  if (gethostname(buf, len) != 0) VE_RETURN(QIVA_ERR_OSERROR);
  // POSIX leaves a truncated name unterminated.
  buf[len - 1] = '\0';
  VE_RETURN(QIVA_SUCCESS);
}

}  // extern "C"
