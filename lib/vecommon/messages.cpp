// The message catalogue's prefix and text tables, generated from the one list in types.h.
#include "types.h"

extern "C" {

// clang-format off
const char *const QIVA_message_prefixes[QIVA_MESSAGE_ID_COUNT + 1] = {
#define VE_MESSAGE_PREFIX_(id, enumerator, identifier, text, code) identifier " ",
    QIVA_MESSAGE_CATALOGUE(VE_MESSAGE_PREFIX_)
#undef VE_MESSAGE_PREFIX_
    nullptr};

const char *const QIVA_messages[QIVA_MESSAGE_ID_COUNT + 1] = {
#define VE_MESSAGE_TEXT_(id, enumerator, identifier, text, code) text,
    QIVA_MESSAGE_CATALOGUE(VE_MESSAGE_TEXT_)
#undef VE_MESSAGE_TEXT_
    nullptr};
// clang-format on

const char *QIVA_getmsg(qiva_message_id_t id) {
  // Compared as unsigned so that a stray negative enumerator value is out of range too.
  if (static_cast<unsigned>(id) >= QIVA_MESSAGE_ID_COUNT) return nullptr;
  return QIVA_messages[id];
}

const char *QIVA_getmsg_prefix(qiva_message_id_t id) {
  if (static_cast<unsigned>(id) >= QIVA_MESSAGE_ID_COUNT) return nullptr;
  return QIVA_message_prefixes[id];
}

}  // extern "C"

namespace {

// The list is written in id order; a gap or a reordering would shift every table entry.
constexpr int kIds[] = {
#define VE_MESSAGE_ID_(id, enumerator, identifier, text, code) id,
    QIVA_MESSAGE_CATALOGUE(VE_MESSAGE_ID_)
#undef VE_MESSAGE_ID_
};
constexpr bool _ids_are_dense() {
  for (int i = 0; i < static_cast<int>(sizeof kIds / sizeof kIds[0]); ++i)
    if (kIds[i] != i) return false;
  return sizeof kIds / sizeof kIds[0] == QIVA_MESSAGE_ID_COUNT;
}
static_assert(_ids_are_dense(), "the message catalogue must list ids 0 to 68 in order");

}  // namespace
