/* Starting and stopping a configuration's dispatcher, and waiting for its data to go out. */
#ifndef VESKA_SRC_CLIENT_H
#define VESKA_SRC_CLIENT_H

#include "src/config_data.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Waits until the bytes pending at the call have been written, the dispatcher has stopped
 * (both 0), or timeout passed (28). A timeout whose sec is below now is a duration. In a
 * child process, for a configuration started before fork: 26 at once (nothing is sent). */
int VE_flush_client(ve_config_t *config, ve_time_t *timeout);
int VE_register_client(ve_config_t *config); /* starts the dispatcher; 0, 21, 25 */
/* shutdown, drain, join; its result. In a child process, for a configuration started before
 * fork: no drain and no join (the thread is the parent's); the child's descriptor of the
 * connection is closed; 0. */
int VE_unregister_client(ve_config_t *config);

/* The inner steps of QIVA_init and QIVA_shutdown, run under the configuration lock. */
int VE_init_(qiva_config_t *config);
int VE_shutdown_(qiva_config_t *config);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_CLIENT_H */
