/* Event validation before serialisation. */
#ifndef VESKA_SRC_PREPROCESS_H
#define VESKA_SRC_PREPROCESS_H

#include "lib/vecommon/ve_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Dumps the event when debugging, then checks it; 0 or the first fault's code 102 to 173. */
int VE_preprocess_event(const qiva_event_t *event);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_PREPROCESS_H */
