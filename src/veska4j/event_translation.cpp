/*
 * Turns the Java arguments of ServerImpl._track into a qiva_event_t without copying a byte:
 * every pointer of the event points into a Java array's elements, taken with
 * GetByteArrayElements and given back in abort mode once the event has been tracked.
 */
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "src/veska4j/veska4j.h"

namespace {

// The item block: a header, then the items every pair array uses, then for each item the
// references to the key and value arrays whose elements it holds. Keeping the references
// means the clean-up releases exactly the arrays it took, even when the Java side changes its
// pair arrays meanwhile, and needs no JNI call that is forbidden while an exception is
// pending.
struct ItemBlockHeader {
  size_t count;
  size_t pad;  // keeps the items 16-byte aligned
};

struct ItemRefs {
  jbyteArray key;    // held while the item's name points into its elements
  jbyteArray value;  // held while the item's value points into its elements
};

ItemBlockHeader *_block_header(qiva_values_list_t *values) {
  return reinterpret_cast<ItemBlockHeader *>(values) - 1;
}

ItemRefs *_block_refs(qiva_values_list_t *values) {
  return reinterpret_cast<ItemRefs *>(values + _block_header(values)->count);
}

qiva_values_list_t *_allocate_items(size_t count) {
  void *block =
      calloc(1, sizeof(ItemBlockHeader) + count * (sizeof(qiva_values_list_t) + sizeof(ItemRefs)));
  if (block == nullptr) return nullptr;
  ItemBlockHeader *header = static_cast<ItemBlockHeader *>(block);
  header->count = count;
  return reinterpret_cast<qiva_values_list_t *>(header + 1);
}

void _free_items(qiva_values_list_t *values) { free(_block_header(values)); }

// A field longer than its length field can hold gets length 0, which QIVA_track refuses with
// that field's length fault, instead of its low bits, which would send it cut short.
jsize _fitting_length(jsize length, jsize longest) { return length > longest ? 0 : length; }

void _throw_out_of_memory(JNIEnv *env, const char *text) {
  jclass cls = env->FindClass("java/lang/OutOfMemoryError");
  if (cls != nullptr) env->ThrowNew(cls, text);
}

// Length of an optional array; 0 for null. False with an exception pending.
bool _array_length(JNIEnv *env, jarray array, jsize *length) {
  *length = 0;
  if (array == nullptr) return true;
  *length = env->GetArrayLength(array);
  return !env->ExceptionCheck();
}

// Points *target at the array's elements (null for an empty array) and gives its length.
// False, with the targets untouched, when an exception is pending.
bool _translate_bytes(JNIEnv *env, jbyteArray array, const qiva_byte_t **target, jsize *length) {
  jsize n = env->GetArrayLength(array);
  if (env->ExceptionCheck()) return false;
  const qiva_byte_t *elements = nullptr;
  if (n > 0) {
    jbyte *taken = env->GetByteArrayElements(array, nullptr);
    if (env->ExceptionCheck()) return false;
    if (taken == nullptr) {
      _throw_out_of_memory(env, "Failed to get byte array elements");
      return false;
    }
    elements = reinterpret_cast<const qiva_byte_t *>(taken);
  }
  *target = elements;
  *length = n;
  return true;
}

void _release_bytes(JNIEnv *env, jbyteArray array, const void *elements) {
  if (env == nullptr || array == nullptr || elements == nullptr) return;
  env->ReleaseByteArrayElements(array, static_cast<jbyte *>(const_cast<void *>(elements)),
                                JNI_ABORT);
}

// Translates one array of [key, value] pairs into the items from first onwards, linking the
// accepted items into *list. Returns false when an exception is pending.
bool _translate_map(JNIEnv *env, jobjectArray pairs, jsize count, qiva_values_list_t *first,
                    ItemRefs *refs, qiva_values_list_t **list) {
  qiva_values_list_t *last = nullptr;
  for (jsize i = 0; i < count; i++) {
    qiva_values_list_t *item = first + i;
    jobjectArray pair = static_cast<jobjectArray>(env->GetObjectArrayElement(pairs, i));
    if (env->ExceptionCheck()) return false;
    // A missing pair or key ends this array's list; the pairs after it are not looked at.
    if (pair == nullptr) return true;
    jbyteArray key = static_cast<jbyteArray>(env->GetObjectArrayElement(pair, 0));
    if (env->ExceptionCheck()) {
      env->DeleteLocalRef(pair);
      return false;
    }
    if (key == nullptr) {
      env->DeleteLocalRef(pair);
      return true;
    }
    jbyteArray value = static_cast<jbyteArray>(env->GetObjectArrayElement(pair, 1));
    env->DeleteLocalRef(pair);
    if (env->ExceptionCheck()) {
      env->DeleteLocalRef(key);
      return false;
    }

    const qiva_byte_t *name = nullptr;
    jsize name_length = 0;
    if (!_translate_bytes(env, key, &name, &name_length)) {
      env->DeleteLocalRef(key);
      if (value != nullptr) env->DeleteLocalRef(value);
      return false;
    }
    if (name != nullptr && name[name_length - 1] != 0) {
      // The name is read as terminated text: without its zero byte the library would read
      // past the array. Leaving it null makes QIVA_track refuse the list's name.
      _release_bytes(env, key, name);
      name = nullptr;
    }
    if (name == nullptr) {
      env->DeleteLocalRef(key);
      key = nullptr;
    }
    item->name = reinterpret_cast<const char *>(name);
    refs[i].key = key;

    if (value != nullptr) {
      const qiva_byte_t *bytes = nullptr;
      jsize size = 0;
      if (!_translate_bytes(env, value, &bytes, &size)) {
        env->DeleteLocalRef(value);
        return false;
      }
      if (bytes == nullptr) {
        env->DeleteLocalRef(value);
        value = nullptr;
      }
      item->value = bytes;
      item->size = static_cast<qiva_uint16_t>(_fitting_length(size, 65535));
      refs[i].value = value;
    }
    item->flags = 3;
    if (last == nullptr) {
      *list = item;
    } else {
      last->next = item;
    }
    last = item;
  }
  return true;
}

bool _translate_association_id(JNIEnv *env, qiva_association_id_t *target, jint caller,
                               jbyteArray link) {
  target->caller_type = static_cast<qiva_uint32_t>(caller);
  target->flags = 1;
  if (link == nullptr) return true;
  jsize length = 0;
  if (!_translate_bytes(env, link, &target->link_id, &length)) return false;
  target->link_id_size = static_cast<qiva_uint8_t>(_fitting_length(length, 255));
  return true;
}

}  // namespace

extern "C" void VESKA4J_translate_event(JNIEnv *env, qivapi4j_event_t *record) {
  if (env == nullptr || record == nullptr) return;

  // The fixed order in which the pair arrays take their items from the block.
  jobjectArray maps[5] = {record->horizontalStitches, record->verticalStitches,
                          record->transactionData, record->horizontalContext,
                          record->verticalContext};
  qiva_values_list_t **lists[5] = {
      &record->event.horizontal_id.stitch_ids, &record->event.vertical_id.stitch_ids,
      &record->event.instance_id.transaction_data, &record->event.horizontal_context,
      &record->event.vertical_context};
  jsize lengths[5];
  int64_t total = 0;
  for (int m = 0; m < 5; m++) {
    if (!_array_length(env, maps[m], &lengths[m])) return;
    total += lengths[m];
  }
  if (total > 0) {
    // Each item may hold two local references until the clean-up; a count the virtual
    // machine cannot hold that many references for is refused there as out of memory.
    if (total > (INT_MAX - 16) / 2) {
      _throw_out_of_memory(env, "Failed to allocate memory for ve_values_list_t");
      return;
    }
    record->values = _allocate_items(static_cast<size_t>(total));
    if (record->values == nullptr) {
      _throw_out_of_memory(env, "Failed to allocate memory for ve_values_list_t");
      return;
    }
    if (env->EnsureLocalCapacity(static_cast<jint>(total * 2 + 16)) != 0) return;
  }

  qiva_event_t *event = &record->event;
  event->type = static_cast<qiva_uint32_t>(record->eventType);
  event->timestamp.sec = static_cast<qiva_uint32_t>(record->timestampSeconds);
  event->timestamp.usec = static_cast<qiva_uint32_t>(record->timestampMicroseconds);
  event->blocked = record->blocked ? 1 : 0;

  if (!_translate_association_id(env, &event->horizontal_id, record->horizontalCaller,
                                 record->horizontalLink))
    return;
  if (!_translate_association_id(env, &event->vertical_id, record->verticalCaller,
                                 record->verticalLink))
    return;
  if (record->transactionId != nullptr) {
    jsize length = 0;
    if (!_translate_bytes(env, record->transactionId, &event->instance_id.transaction_id, &length))
      return;
    event->instance_id.size = static_cast<qiva_uint16_t>(_fitting_length(length, 65535));
    event->instance_id.flags = 1;
  }

  // Every array starts at its own place in the block, so a list cut short by a missing key
  // leaves the following arrays' items where they belong.
  if (record->values == nullptr) return;
  ItemRefs *refs = _block_refs(record->values);
  jsize base = 0;
  for (int m = 0; m < 5; m++) {
    if (lengths[m] > 0 &&
        !_translate_map(env, maps[m], lengths[m], record->values + base, refs + base, lists[m]))
      return;
    base += lengths[m];
  }
}

extern "C" void VESKA4J_cleanup_event(JNIEnv *env, qivapi4j_event_t *record) {
  if (env == nullptr || record == nullptr) return;
  qiva_event_t *event = &record->event;
  _release_bytes(env, record->horizontalLink, event->horizontal_id.link_id);
  _release_bytes(env, record->verticalLink, event->vertical_id.link_id);
  _release_bytes(env, record->transactionId, event->instance_id.transaction_id);
  event->horizontal_id.link_id = nullptr;
  event->vertical_id.link_id = nullptr;
  event->instance_id.transaction_id = nullptr;

  if (record->values == nullptr) return;
  // Walk every slot, not the lists: a slot whose translation stopped half-way (name taken,
  // value failed) is not linked yet still holds elements.
  size_t count = _block_header(record->values)->count;
  ItemRefs *refs = _block_refs(record->values);
  for (size_t i = 0; i < count; i++) {
    qiva_values_list_t *item = record->values + i;
    if (refs[i].key != nullptr) {
      _release_bytes(env, refs[i].key, item->name);
      env->DeleteLocalRef(refs[i].key);
    }
    if (refs[i].value != nullptr) {
      _release_bytes(env, refs[i].value, item->value);
      env->DeleteLocalRef(refs[i].value);
    }
  }
  _free_items(record->values);
  record->values = nullptr;
  event->horizontal_id.stitch_ids = nullptr;
  event->vertical_id.stitch_ids = nullptr;
  event->instance_id.transaction_data = nullptr;
  event->horizontal_context = nullptr;
  event->vertical_context = nullptr;
}
