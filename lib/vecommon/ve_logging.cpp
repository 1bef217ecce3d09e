// Placeholder front end: every logging call does nothing until the real front end lands.
#include "lib/vecommon/ve_logging.h"

extern "C" {

void *QIVA_log_event(qiva_function_log_t *, int, qiva_function_log_event_t, ...) { return nullptr; }
int QIVA_logging(qiva_function_log_t *, int, qiva_log_level_t) { return 0; }
int QIVA_debugging(qiva_function_log_t *, int, qiva_log_level_t) { return 0; }
void QIVA_log_vprintf(qiva_function_log_t *, int, qiva_log_level_t, const char *, const char *,
                      va_list) {}
void QIVA_log_printf(qiva_function_log_t *, int, qiva_log_level_t, const char *, ...) {}
void QIVA_log_msg(qiva_function_log_t *, int, qiva_log_level_t, qiva_message_id_t, ...) {}
void QIVA_log_debug(qiva_function_log_t *, int, qiva_log_level_t, const char *, ...) {}
int QIVA_log_set_logger(const char *) { return QIVA_ERR_INVALID; }

}  // extern "C"
