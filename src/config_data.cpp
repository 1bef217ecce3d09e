// The private record behind a configuration's handle: token and counter state, then the client
// state. Created and destroyed by the lifecycle under its process-wide lock.
#include <string.h>

#include "private_api.h"

VE_LOG_FILE("veska");

extern "C" {

int VE_config_data_init(ve_config_data_t *data, ve_config_t *config) {
  VE_LOG_ENTER("VE_config_data_init");
  if (data == nullptr || config == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  memset(data, 0, sizeof *data);
  const ve_once_t once_initial = VE_ONCE_INIT;
  data->token_init_once = once_initial;
  data->counter_init_once = once_initial;
  // Zero is a valid descriptor (standard input); "no file" is -1 for both.
  data->token_fd = -1;
  data->counter_file = -1;
  VE_RETURN(VE_client_data_init(&data->client_data, config));
}

int VE_config_data_destroy(ve_config_data_t *data) {
  VE_LOG_ENTER("VE_config_data_destroy");
  if (data == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  // The token file is opened by the first token of the activation only; closing it is
  // serialised with other configurations' token traffic on the same file.
  VE_token_release(data);
  VE_RETURN(VE_client_data_destroy(&data->client_data));
}

}  // extern "C"
