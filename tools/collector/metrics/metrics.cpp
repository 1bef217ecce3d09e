// The process's one set of collector counters.
#include "tools/collector/metrics/metrics.h"

namespace veska {
namespace collector {

Metrics &metrics() {
  static Metrics instance;
  return instance;
}

}  // namespace collector
}  // namespace veska
