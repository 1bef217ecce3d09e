// Where a Kafka consumer feeding the store resumes: the next offset of every partition of a
// topic whose messages the store holds, written in the same SQLite transaction as them.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_CONSUMER_OFFSETS_H
#define VESKA_TOOLS_COLLECTOR_STORE_CONSUMER_OFFSETS_H

#include <cstdint>
#include <map>
#include <string>

namespace veska {
namespace store {

// Fills *next_offsets (partition to the offset to read next) from the store at store_path; a
// store that does not exist yet has none. False with the reason in *error when the file cannot
// be read or is not a store of this version.
bool load_consumer_offsets(const std::string &store_path, const std::string &topic,
                           std::map<int32_t, int64_t> *next_offsets, std::string *error);

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_CONSUMER_OFFSETS_H
