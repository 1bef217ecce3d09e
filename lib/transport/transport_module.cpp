// The process-wide registry of transport modules: a singly linked list through the modules'
// own `next` fields, filled once on the first look-up and only read after that.
#include <strings.h>

#include "lib/transport/transport.h"
#include "lib/vecommon/ve_logging.h"

VE_LOG_FILE("transport");

namespace {

// Written only inside the once-guarded registration; pthread_once orders those writes
// before every read by a thread that returns from the guard.
transport_module_t *transport_modules = nullptr;
ve_once_t register_transports_once = VE_ONCE_INIT;

void _register_transport(transport_module_t *module) {
  VE_LOG_ENTER("_register_transport");
  if (module == nullptr) VE_RETURN_VOID();
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Registering module '%s'", module->name);
  module->next = transport_modules;
  transport_modules = module;
  VE_RETURN_VOID();
}

}  // namespace

extern "C" {

void TRANSPORT_register_transports(void) {
  VE_LOG_ENTER("TRANSPORT_register_transports");
  // Each goes to the head, so the list reads "null" then "tcp".
  _register_transport(&tcp_transport_module);
  _register_transport(&null_transport_module);
  VE_RETURN_VOID();
}

transport_module_t *TRANSPORT_lookup(const char *name) {
  VE_LOG_ENTER("TRANSPORT_lookup");
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Looking up module '%s'", name != nullptr ? name : "(null)");
  VE_once(&register_transports_once, TRANSPORT_register_transports);
  if (name == nullptr) VE_RETURN_VALUE(nullptr, 0);
  for (transport_module_t *module = transport_modules; module != nullptr; module = module->next) {
    if (module->name != nullptr && strcasecmp(module->name, name) == 0) {
      VE_RETURN_VALUE(module, 1);
    }
  }
  VE_RETURN_VALUE(nullptr, 0);
}

}  // extern "C"
