/* The public records under the names the library's own sources use. */
#ifndef VESKA_VECOMMON_VE_TYPES_H
#define VESKA_VECOMMON_VE_TYPES_H

#include "lib/vecommon/ve_inttypes.h"
#include "types.h"

typedef qiva_config_t ve_config_t;
typedef qiva_event_t ve_event_t;
typedef qiva_time_t ve_time_t;
typedef qiva_values_list_t ve_values_list_t;

/* The collector a configuration without a server sends to. */
#define VE_DEFAULT_SERVER "tcp:127.0.0.1:5455"

#endif /* VESKA_VECOMMON_VE_TYPES_H */
