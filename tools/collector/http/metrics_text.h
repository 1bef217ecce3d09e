// The collector's counters in the Prometheus text exposition format (version 0.0.4), as
// GET /metrics answers them.
#ifndef VESKA_TOOLS_COLLECTOR_HTTP_METRICS_TEXT_H
#define VESKA_TOOLS_COLLECTOR_HTTP_METRICS_TEXT_H

#include <string>

#include "tools/collector/metrics/metrics.h"

namespace veska {
namespace http {

// The Content-Type of that format.
extern const char kMetricsContentType[];

// Every counter of `metrics` with its HELP and TYPE lines. Each value is read once with a
// relaxed load: the text is a recent view, not one instant.
std::string render_metrics(const collector::Metrics &metrics);

}  // namespace http
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_HTTP_METRICS_TEXT_H
