// One librdkafka configuration for the collector's producer and its consumer: the settings the
// collector relies on first, then the user's --kafka-property pairs, which may override them.
#ifndef VESKA_TOOLS_COLLECTOR_OUTPUTS_KAFKA_CONFIG_H_
#define VESKA_TOOLS_COLLECTOR_OUTPUTS_KAFKA_CONFIG_H_

#include <librdkafka/rdkafka.h>

#include <string>
#include <utility>
#include <vector>

namespace veska {
namespace kafka {

using KafkaProperties = std::vector<std::pair<std::string, std::string>>;

// librdkafka's error text for a failed configuration or creation call is at most this long.
constexpr size_t kErrorTextSize = 512;

// A new configuration with `defaults` and then `properties` applied in order, or null with
// "Kafka property 'NAME': REASON" in *error for the first one librdkafka refuses.
rd_kafka_conf_t *make_conf(const KafkaProperties &defaults, const KafkaProperties &properties,
                           std::string *error);

}  // namespace kafka
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_OUTPUTS_KAFKA_CONFIG_H_
