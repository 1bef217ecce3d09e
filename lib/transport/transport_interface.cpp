// The TRANSPORT_ call layer: every owner reaches a module through these thin wrappers, which
// keep the endpoints' `transport` back links right and turn missing pieces into result codes.
#include <string.h>

#include "lib/transport/transport.h"
#include "lib/vecommon/ve_logging.h"

VE_LOG_FILE("transport");

namespace {

// The module an endpoint belongs to, or null when it is detached.
transport_module_t *_endpoint_module(const transport_endpoint_t *endpoint) {
  if (endpoint == nullptr || endpoint->transport == nullptr) return nullptr;
  return endpoint->transport->module;
}

}  // namespace

extern "C" {

int TRANSPORT_init(transport_instance_t *transport, const char *module_name) {
  VE_LOG_ENTER("TRANSPORT_init");
  if (transport == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  transport_module_t *module = TRANSPORT_lookup(module_name);
  if (module == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (module->init_function == nullptr) VE_RETURN(QIVA_ERR_NOTIMPL);
  int rc = module->init_function(transport);
  // The module stays unset on failure: the owner tests it to know whether destroy is due.
  if (rc == 0) transport->module = module;
  VE_RETURN(rc);
}

int TRANSPORT_destroy(transport_instance_t *instance) {
  VE_LOG_ENTER("TRANSPORT_destroy");
  if (instance == nullptr || instance->module == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (instance->module->destroy_function == nullptr) VE_RETURN(QIVA_ERR_NOTIMPL);
  VE_RETURN(instance->module->destroy_function(instance));
}

int TRANSPORT_connect_timeout(transport_instance_t *transport, transport_endpoint_t *endpoint,
                              const char *address, const struct timeval *timeout) {
  VE_LOG_ENTER("TRANSPORT_connect_timeout");
  if (transport == nullptr || endpoint == nullptr || transport->module == nullptr) {
    VE_RETURN(QIVA_ERR_INVALID);
  }
  if (transport->module->connect_function == nullptr) VE_RETURN(QIVA_ERR_NOTIMPL);
  endpoint->transport = transport;
  int rc = transport->module->connect_function(endpoint, address, timeout);
  if (rc != 0) endpoint->transport = nullptr;
  VE_RETURN(rc);
}

int TRANSPORT_connect(transport_instance_t *transport, transport_endpoint_t *endpoint,
                      const char *address) {
  VE_LOG_ENTER("TRANSPORT_connect");
  struct timeval timeout = {30, 0};
  VE_RETURN(TRANSPORT_connect_timeout(transport, endpoint, address, &timeout));
}

int TRANSPORT_listen(transport_instance_t *transport, transport_endpoint_t *endpoint,
                     const char *address) {
  VE_LOG_ENTER("TRANSPORT_listen");
  if (transport == nullptr || endpoint == nullptr || transport->module == nullptr) {
    VE_RETURN(QIVA_ERR_INVALID);
  }
  if (transport->module->listen_function == nullptr) VE_RETURN(QIVA_ERR_NOTIMPL);
  endpoint->transport = transport;
  int rc = transport->module->listen_function(endpoint, address);
  if (rc != 0) endpoint->transport = nullptr;
  VE_RETURN(rc);
}

int TRANSPORT_accept(transport_endpoint_t *local_endpoint, transport_endpoint_t *remote_endpoint) {
  VE_LOG_ENTER("TRANSPORT_accept");
  transport_module_t *module = _endpoint_module(local_endpoint);
  if (module == nullptr || remote_endpoint == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (module->accept_function == nullptr) VE_RETURN(QIVA_ERR_NOTIMPL);
  remote_endpoint->transport = local_endpoint->transport;
  int rc = module->accept_function(local_endpoint, remote_endpoint);
  if (rc != 0) remote_endpoint->transport = nullptr;
  VE_RETURN(rc);
}

int TRANSPORT_send(transport_endpoint_t *endpoint, const char *buf, uint32_t *size) {
  transport_module_t *module = _endpoint_module(endpoint);
  if (module == nullptr || size == nullptr || (buf == nullptr && *size != 0)) {
    return QIVA_ERR_INVALID;
  }
  if (module->send_function == nullptr) return QIVA_ERR_NOTIMPL;
  return module->send_function(endpoint, buf, size);
}

int TRANSPORT_receive(transport_endpoint_t *endpoint, char *buf, uint32_t *size) {
  transport_module_t *module = _endpoint_module(endpoint);
  if (module == nullptr || size == nullptr || (buf == nullptr && *size != 0)) {
    return QIVA_ERR_INVALID;
  }
  if (module->receive_function == nullptr) return QIVA_ERR_NOTIMPL;
  return module->receive_function(endpoint, buf, size);
}

int TRANSPORT_close(transport_endpoint_t *endpoint) {
  VE_LOG_ENTER("TRANSPORT_close");
  // Never connected, or its connect failed: nothing to close.
  if (endpoint == nullptr || endpoint->transport == nullptr) VE_RETURN(0);
  transport_module_t *module = endpoint->transport->module;
  if (module == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (module->close_function == nullptr) VE_RETURN(QIVA_ERR_NOTIMPL);
  VE_RETURN(module->close_function(endpoint));
}

int TRANSPORT_set_blocking(transport_endpoint_t *endpoint, int blocking) {
  VE_LOG_ENTER("TRANSPORT_set_blocking");
  transport_module_t *module = _endpoint_module(endpoint);
  if (module == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (module->setblocking_function == nullptr) VE_RETURN(QIVA_ERR_NOTIMPL);
  VE_RETURN(module->setblocking_function(endpoint, blocking));
}

int TRANSPORT_dispatch(transport_instance_t *transport, ve_time_t *timeout) {
  VE_LOG_ENTER("TRANSPORT_dispatch");
  if (transport == nullptr || transport->module == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (transport->module->dispatch_function == nullptr) VE_RETURN(QIVA_ERR_NOTIMPL);
  int rc;
  do {
    rc = transport->module->dispatch_function(transport, timeout);
  } while (rc == 0);
  // Nothing left to wait for is the normal end of a dispatch run.
  VE_RETURN(rc == QIVA_ERR_AGAIN ? 0 : rc);
}

const char *TRANSPORT_split_server(const char *server, size_t *name_length) {
  const char *colon = server != nullptr ? strchr(server, ':') : nullptr;
  *name_length = colon != nullptr ? static_cast<size_t>(colon - server) : 0;
  return colon != nullptr ? colon + 1 : nullptr;
}

int TRANSPORT_check_address(const char *module_name, const char *address) {
  VE_LOG_ENTER("TRANSPORT_check_address");
  transport_module_t *module = TRANSPORT_lookup(module_name);
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "module: %ld", (long)(intptr_t)module);
  if (module == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (module->check_address_function == nullptr) VE_RETURN(QIVA_ERR_NOTIMPL);
  VE_RETURN(module->check_address_function(address));
}

}  // extern "C"
