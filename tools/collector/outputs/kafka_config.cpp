// Applies the collector's Kafka settings and the user's properties to one librdkafka
// configuration, naming the property librdkafka refused.
#include "tools/collector/outputs/kafka_config.h"

namespace veska {
namespace kafka {

namespace {

bool _apply(rd_kafka_conf_t *conf, const KafkaProperties &pairs, std::string *error) {
  char text[kErrorTextSize];
  for (const auto &pair : pairs) {
    if (rd_kafka_conf_set(conf, pair.first.c_str(), pair.second.c_str(), text, sizeof text) !=
        RD_KAFKA_CONF_OK) {
      *error = "Kafka property '" + pair.first + "': " + text;
      return false;
    }
  }
  return true;
}

}  // namespace

rd_kafka_conf_t *make_conf(const KafkaProperties &defaults, const KafkaProperties &properties,
                           std::string *error) {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  if (!_apply(conf, defaults, error) || !_apply(conf, properties, error)) {
    rd_kafka_conf_destroy(conf);
    return nullptr;
  }
  return conf;
}

}  // namespace kafka
}  // namespace veska
