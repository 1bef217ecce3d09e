/*
 * The facade's own way into QIVA_track: veska4j.Event lays the variable parts of an event out
 * in one byte array, which is copied across in one JNI call and read here into a qiva_event_t
 * whose pointers point into the copy. It gives QIVA_track exactly the record _track's
 * translation would give it, without one JNI call per array.
 */
#include <stdint.h>
#include <stdlib.h>

#include "lib/vecommon/ve_logging.h"
#include "src/veska4j/veska4j.h"
#include "types.h"

VE_LOG_FILE("veska");

namespace {

// A typical event lays out in about 200 bytes and a handful of pairs; larger ones go to the
// heap rather than make the Java thread's native stack carry the largest possible event.
constexpr jint kStackLayoutBytes = 2048;
constexpr uint32_t kStackItems = 32;
// The smallest a pair can be laid out in: a key length and a value length.
constexpr uint32_t kPairMinimumBytes = 8;
constexpr uint32_t kLongestLink = 255;
constexpr uint32_t kLongestValue = 65535;
// The event record is filled field by field below; a record that grew would need its new
// fields set there.
static_assert(sizeof(qiva_event_t) == 136, "every field of qiva_event_t is set");

// Reads the layout front to back; any read past its end marks it malformed and yields
// nothing further.
class LayoutReader {
 public:
  LayoutReader(const unsigned char *bytes, size_t length) : at_(bytes), end_(bytes + length) {}

  bool ok() const { return ok_; }
  bool at_end() const { return at_ == end_; }

  // Little-endian, as veska4j.Event writes it.
  int32_t Int() {
    if (!ok_ || end_ - at_ < 4) return Fail();
    uint32_t v = static_cast<uint32_t>(at_[0]) | static_cast<uint32_t>(at_[1]) << 8 |
                 static_cast<uint32_t>(at_[2]) << 16 | static_cast<uint32_t>(at_[3]) << 24;
    at_ += 4;
    return static_cast<int32_t>(v);
  }

  // n bytes from here on; null for n == 0.
  const unsigned char *Bytes(int32_t n) {
    if (!ok_ || n < 0 || end_ - at_ < n) {
      Fail();
      return nullptr;
    }
    const unsigned char *start = n > 0 ? at_ : nullptr;
    at_ += n;
    return start;
  }

 private:
  int32_t Fail() {
    ok_ = false;
    return 0;
  }
  const unsigned char *at_;
  const unsigned char *end_;
  bool ok_ = true;
};

// The truncation a too-long field would otherwise suffer in its narrow length field: the
// length becomes 0, which QIVA_track refuses with that field's length fault, rather than
// sending the field cut short.
uint32_t _fitting_length(int32_t length, uint32_t longest) {
  return static_cast<uint32_t>(length) > longest ? 0 : static_cast<uint32_t>(length);
}

// The two parts of a layout: the head, with every length and key, and the contents of the
// links, the transaction id and the values, in the order the head names them.
struct LayoutParts {
  LayoutReader head;
  LayoutReader contents;
};

// An optional byte field whose length is in the head (-1 for absent) and whose bytes are the
// next contents. False when malformed.
bool _read_bytes(LayoutParts *in, const qiva_byte_t **target, int32_t *length, bool *present) {
  int32_t n = in->head.Int();
  *present = n != -1;
  if (*present) {
    *target = in->contents.Bytes(n);
    *length = n;
  }
  return in->head.ok() && in->contents.ok();
}

bool _read_link(LayoutParts *in, qiva_association_id_t *target, jint caller) {
  target->caller_type = static_cast<qiva_uint32_t>(caller);
  target->flags = 1;
  int32_t length = 0;
  bool present = false;
  if (!_read_bytes(in, &target->link_id, &length, &present)) return false;
  if (present)
    target->link_id_size = static_cast<qiva_uint8_t>(_fitting_length(length, kLongestLink));
  return true;
}

// One list: in the head its pair count (-1 for none), then each pair's key length, key
// (ending with its zero byte) and value length (-1 for none); the values are contents. The
// items come from *next on; false when malformed or when the pairs would run past the last
// item.
bool _read_list(LayoutParts *in, qiva_values_list_t **list, qiva_values_list_t **next,
                const qiva_values_list_t *last) {
  int32_t count = in->head.Int();
  if (!in->head.ok() || count < -1 || count > last - *next) return false;
  qiva_values_list_t *previous = nullptr;
  for (int32_t i = 0; i < count; i++) {
    qiva_values_list_t *item = (*next)++;
    item->next = nullptr;
    item->value = nullptr;
    item->size = 0;
    int32_t key_length = in->head.Int();
    const unsigned char *key = in->head.Bytes(key_length);
    // Read as terminated text: a key without its zero byte would be read past its end.
    item->name =
        key != nullptr && key[key_length - 1] == 0 ? reinterpret_cast<const char *>(key) : nullptr;
    int32_t value_length = in->head.Int();
    if (value_length != -1) {
      item->value = in->contents.Bytes(value_length);
      item->size = static_cast<qiva_uint16_t>(_fitting_length(value_length, kLongestValue));
    }
    if (!in->head.ok() || !in->contents.ok()) return false;
    item->flags = 3;
    if (previous == nullptr) {
      *list = item;
    } else {
      previous->next = item;
    }
    previous = item;
  }
  return true;
}

// Fills event from the layout: the links and the transaction id, then the five lists in the
// order of _track's arguments. items has room for item_count items, exactly as many as the
// lists have pairs; each is filled in whole. False when the layout is malformed.
bool _read_layout(LayoutParts *in, qiva_event_t *event, jint verticalCaller, jint horizontalCaller,
                  qiva_values_list_t *items, uint32_t item_count) {
  if (!_read_link(in, &event->vertical_id, verticalCaller)) return false;
  if (!_read_link(in, &event->horizontal_id, horizontalCaller)) return false;
  int32_t tid_length = 0;
  bool tid_present = false;
  if (!_read_bytes(in, &event->instance_id.transaction_id, &tid_length, &tid_present)) {
    return false;
  }
  if (tid_present) {
    event->instance_id.size =
        static_cast<qiva_uint16_t>(_fitting_length(tid_length, kLongestValue));
    event->instance_id.flags = 1;
  }
  qiva_values_list_t **lists[5] = {&event->vertical_context, &event->horizontal_context,
                                   &event->vertical_id.stitch_ids, &event->horizontal_id.stitch_ids,
                                   &event->instance_id.transaction_data};
  qiva_values_list_t *next = items;
  for (qiva_values_list_t **list : lists) {
    if (!_read_list(in, list, &next, items + item_count)) return false;
  }
  return next == items + item_count && in->head.at_end() && in->contents.at_end();
}

void _throw_out_of_memory(JNIEnv *env) {
  jclass cls = env->FindClass("java/lang/OutOfMemoryError");
  if (cls != nullptr) env->ThrowNew(cls, "Failed to allocate memory for the event layout");
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_veska4j_impl_ServerImpl__1trackFlat(
    JNIEnv *env, jobject self, jlong handle, jint eventType, jlong timestampSeconds,
    jint timestampMicroseconds, jboolean blocked, jint verticalCaller, jint horizontalCaller,
    jbyteArray layout, jint length) {
  (void)self;
  // Logged under the same name as _track: a Java log shows the same records either way.
  VE_LOG_ENTER("ServerImpl.track");
  if (env == nullptr) VE_RETURN_VOID();
  if (VESKA4J_refuses_type(env, eventType) != 0) VE_RETURN_VOID();
  if (layout == nullptr || length < 8) {
    VESKA4J_throw(env, QIVA_ERR_INVALID);
    VE_RETURN_VOID();
  }

  // A copy, not a critical region: QIVA_track may log, and a Java logger is called through
  // JNI, which a critical region forbids.
  unsigned char stack_bytes[kStackLayoutBytes];
  unsigned char *bytes = stack_bytes;
  if (length > kStackLayoutBytes) {
    bytes = static_cast<unsigned char *>(malloc(static_cast<size_t>(length)));
    if (bytes == nullptr) {
      _throw_out_of_memory(env);
      VE_RETURN_VOID();
    }
  }
  // A length past the array's end raises the virtual machine's own exception.
  env->GetByteArrayRegion(layout, 0, length, reinterpret_cast<jbyte *>(bytes));
  if (env->ExceptionCheck()) {
    if (bytes != stack_bytes) free(bytes);
    VE_RETURN_VOID();
  }

  // The head's length and the pair count come first, so that the items can be had in one
  // piece; the count is checked against what the layout can hold before anything is
  // allocated for it.
  LayoutReader start(bytes, static_cast<size_t>(length));
  uint32_t head_length = static_cast<uint32_t>(start.Int());
  uint32_t item_count = static_cast<uint32_t>(start.Int());
  bool counted = start.ok() && head_length >= 8 && head_length <= static_cast<uint32_t>(length) &&
                 item_count <= static_cast<uint32_t>(length) / kPairMinimumBytes;
  LayoutParts in = {LayoutReader(bytes + 8, counted ? head_length - 8 : 0),
                    LayoutReader(bytes + (counted ? head_length : 0),
                                 counted ? static_cast<size_t>(length) - head_length : 0)};
  qiva_values_list_t stack_items[kStackItems];
  qiva_values_list_t *items = stack_items;
  if (counted && item_count > kStackItems) {
    items = static_cast<qiva_values_list_t *>(malloc(item_count * sizeof(qiva_values_list_t)));
  }
  int rc = QIVA_ERR_INVALID;
  if (counted && items != nullptr) {
    // Field by field rather than one memset: this is on every call's path, and a memset of
    // the whole record compiles to a string store that costs more than the stores.
    qiva_event_t event;
    event.type = static_cast<qiva_uint32_t>(eventType);
    event.timestamp.sec = static_cast<qiva_uint32_t>(timestampSeconds);
    event.timestamp.usec = static_cast<qiva_uint32_t>(timestampMicroseconds);
    event.pad1 = 0;
    event.instance_id = qiva_instance_id_t();
    event.horizontal_id = qiva_association_id_t();
    event.vertical_id = qiva_association_id_t();
    event.horizontal_context = nullptr;
    event.vertical_context = nullptr;
    event.blocked = blocked ? 1 : 0;
    event.pad2 = 0;
    event.reserved1 = nullptr;
    if (_read_layout(&in, &event, verticalCaller, horizontalCaller, items, item_count)) {
      rc = QIVA_track(reinterpret_cast<qiva_config_t *>(static_cast<intptr_t>(handle)), &event);
    }
  }
  if (items != stack_items) free(items);
  if (bytes != stack_bytes) free(bytes);
  if (items == nullptr) {
    _throw_out_of_memory(env);
  } else if (rc != QIVA_SUCCESS && !env->ExceptionCheck()) {
    VESKA4J_throw(env, rc);
  }
  VE_RETURN_VOID();
}
