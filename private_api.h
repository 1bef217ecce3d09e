/*
 * The library's exported internal interface: every VE_, TRANSPORT_, CCQ_, CSLIST_ and
 * barrier_ function, the internal records they work on, the logging front end and the
 * platform wrappers. Tools and tests use it; applications use types.h only.
 */
#ifndef VESKA_PRIVATE_API_H
#define VESKA_PRIVATE_API_H

#include "lib/concurrent/barrier.h"
#include "lib/concurrent/cyclic_queue.h"
#include "lib/concurrent/once.h"
#include "lib/concurrent/slist.h"
#include "lib/concurrent/ve_atomic_linux.h"
#include "lib/serialisation/serialisation.h"
#include "lib/transport/transport.h"
#include "lib/vecommon/dynload.h"
#include "lib/vecommon/hostinfo.h"
#include "lib/vecommon/ve_flock.h"
#include "lib/vecommon/ve_inttypes.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_time.h"
#include "lib/vecommon/ve_types.h"
#include "protocol/message_header.h"
#include "src/client.h"
#include "src/client_data.h"
#include "src/common_context.h"
#include "src/config_data.h"
#include "src/dispatcher.h"
#include "src/event_message.h"
#include "src/heartbeat.h"
#include "src/memory_pool.h"
#include "src/preprocess.h"
#include "src/register_message.h"
#include "src/statistics.h"
#include "types.h"

#endif /* VESKA_PRIVATE_API_H */
