// The interface-version check offered to callers that were built against a header version.
#include "types.h"

extern "C" int QIVA_check_version_(unsigned long version) {
  return version == 0 ? QIVA_SUCCESS : QIVA_ERR_INVALID;
}
