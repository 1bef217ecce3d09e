// The dispatcher thread of one configuration. It connects when data first waits, opens every
// connection with registration, statistics and heartbeat, then copies queued messages into its
// 65535-byte send buffer and writes them with blocking sends, batching small amounts for up to
// a second. It is the queue's only consumer and the only user of the connection.
//
// dispatch_mutex guards the decision to wait or send, the flush list and the stop flags; it is
// never held while connecting, sleeping, copying or writing. connected, exited, data_consumed
// and data_offset are read by other threads, so every access to them is __atomic; the changes
// of data_consumed and data_offset are also made under dispatch_mutex, so a starting flush
// (which reads them with the counter under that mutex) sees the three in agreement.
#include "src/dispatcher.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "lib/concurrent/cyclic_queue-internal.h"
#include "lib/concurrent/cyclic_queue.h"
#include "lib/concurrent/mutex_guard.h"
#include "lib/concurrent/ve_atomic_linux.h"
#include "lib/transport/transport.h"
#include "lib/vecommon/ve_inttypes.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_time.h"
#include "lib/vecommon/ve_types.h"
#include "protocol/message_header.h"
#include "src/client_data.h"
#include "src/config_data.h"
#include "src/heartbeat.h"
#include "src/memory_pool-internal.h"
#include "src/memory_pool.h"
#include "src/register_message.h"
#include "src/statistics.h"
#include "types.h"

VE_LOG_FILE("veska");

namespace {

const ve_uint32_t kSendBufferSize = VE_SEND_BUFFER_SIZE;
const time_t kStatisticsInterval = 15;
const time_t kHeartbeatInterval = 120;
const time_t kErrorReportInterval = 300;
// While events fill send buffers steadily but not fast, the dispatcher looks at the count of
// waiting bytes itself every kPollNanoseconds, and the producer whose event crosses the
// threshold need not wake it: waking a sleeping thread costs the waker a system call and, on
// a virtual machine, an interprocessor interrupt, 10 microseconds or more of its tracking
// call. Only when kSlowFillsToPoll buffers in a row took kSlowFillNanoseconds or more each to
// fill: a look then finds at most half a buffer more than a signal would have. Faster, or in
// bursts after a pause, the dispatcher is seldom asleep anyway, and a late look would leave
// more events queued, and more pool blocks in use, than the producers' caches hold. And only
// with a queue of kPollQueueSize or more: a late look must not cost a small queue its oldest
// events. After kIdlePolls looks in a row without a full buffer the dispatcher goes back to
// being woken.
const long kPollNanoseconds = 1000000;
const ve_uint64_t kSlowFillNanoseconds = 2000000;
const int kSlowFillsToPoll = 2;
const ve_uint32_t kPollQueueSize = 4096;
const int kIdlePolls = 100;
// How many messages ahead of the one being copied the dispatcher asks for an event's bytes.
const ve_uint32_t kPrefetchAhead = 4;

inline ve_client_data_t *_client(dispatcher_state_t *state) {
  return &state->config_data->client_data;
}

// The working state beyond the documented record, in the client state that holds this one.
inline ve_dispatcher_extra_t *_extra(dispatcher_state_t *state) {
  return &_client(state)->dispatcher_extra;
}
inline const ve_dispatcher_extra_t *_extra(const dispatcher_state_t *state) {
  return &state->config_data->client_data.dispatcher_extra;
}

inline int _connected(dispatcher_state_t *state) {
  return __atomic_load_n(&state->connected, __ATOMIC_ACQUIRE);
}
inline void _set_connected(dispatcher_state_t *state, int value) {
  __atomic_store_n(&state->connected, value, __ATOMIC_RELEASE);
}
inline ve_uint32_t _consumed(dispatcher_state_t *state) {
  return __atomic_load_n(&state->data_consumed, __ATOMIC_RELAXED);
}
inline ve_uint32_t _offset(dispatcher_state_t *state) {
  return __atomic_load_n(&state->data_offset, __ATOMIC_RELAXED);
}
inline void _set_send_positions(dispatcher_state_t *state, ve_uint32_t consumed,
                                ve_uint32_t offset) {
  __atomic_store_n(&state->data_consumed, consumed, __ATOMIC_RELAXED);
  __atomic_store_n(&state->data_offset, offset, __ATOMIC_RELAXED);
}
inline ve_uint32_t _counter(ve_client_data_t *client) {
  return static_cast<ve_uint32_t>(__atomic_load_n(&client->data_available, __ATOMIC_ACQUIRE));
}
inline int _shutdown(ve_client_data_t *client) {
  return __atomic_load_n(&client->shutdown, __ATOMIC_ACQUIRE);
}
// The flush list head is changed under dispatch_mutex only; the dispatcher peeks at it
// without the lock to skip the lock when nobody waits.
inline ve_flush_state_t *_first_flush(ve_client_data_t *client) {
  return __atomic_load_n(&client->flush_state, __ATOMIC_RELAXED);
}

inline int _complete(const ve_message_buffer_t *buffer) { return buffer->offset == buffer->size; }
inline int _not_started(const ve_message_buffer_t *buffer) {
  return buffer->offset == 0 && buffer->size > 0;
}
inline int _partly_consumed(const ve_message_buffer_t *buffer) {
  return buffer->offset > 0 && buffer->offset < buffer->size;
}

// Releases every waiting flush; called with dispatch_mutex held after exited is set.
void _signal_flushes(ve_client_data_t *client) {
  for (ve_flush_state_t *flush = client->flush_state; flush != nullptr; flush = flush->next) {
    pthread_cond_signal(&flush->condition);
  }
}

// The dispatcher has stopped for good: flushes see exited under the mutex and return.
void _mark_exited(ve_client_data_t *client, dispatcher_state_t *state) {
  MutexGuard guard(&client->dispatch_mutex);
  __atomic_store_n(&state->exited, 1, __ATOMIC_RELEASE);
  __atomic_store_n(&client->shutdown, 1, __ATOMIC_RELEASE);
  if (guard.locked()) _signal_flushes(client);
}

// What the send step can change; equal marks before and after a send step mean it made no
// progress at all.
struct progress_mark_t {
  ve_uint32_t queue_head;
  ve_uint32_t event_offset;
  ve_uint32_t consumed;
  ve_uint32_t offset;
  ve_uint32_t counter;
  bool operator==(const progress_mark_t &other) const {
    return queue_head == other.queue_head && event_offset == other.event_offset &&
           consumed == other.consumed && offset == other.offset && counter == other.counter;
  }
};

progress_mark_t _progress_mark(dispatcher_state_t *state) {
  ve_client_data_t *client = _client(state);
  return {__atomic_load_n(&client->queue.head, __ATOMIC_ACQUIRE), state->event_buffer.offset,
          _consumed(state), _offset(state), _counter(client)};
}

// Bytes not yet copied out of a buffer; a complete (or all-zero) buffer has none.
inline ve_uint32_t _left(const ve_message_buffer_t *buffer) {
  return buffer->offset < buffer->size ? buffer->size - buffer->offset : 0;
}

// The counter says bytes wait but no buffer yields any. Producers count a message just before
// they publish it, inside the queue's tail_mutex, so with that mutex (and head_mutex) held the
// counter must equal what the queue and the dispatcher's buffers still hold: a difference is
// a real drift. It is repaired, and every waiting flush is moved by the same amount, so that
// no flush waits for bytes that do not exist. Returns whether the counter had drifted (false
// when a lock fails), with what it held and the queue's indices.
bool _repair_drift(dispatcher_state_t *state, ve_uint32_t *counter_seen, ve_uint32_t *head_seen,
                   ve_uint32_t *tail_seen) {
  ve_client_data_t *client = _client(state);
  cyclic_queue_t *queue = &client->queue;
  MutexGuard tail_guard(&queue->tail_mutex);
  if (!tail_guard.locked()) return false;
  MutexGuard head_guard(&queue->head_mutex);
  if (!head_guard.locked()) return false;
  const ve_uint32_t head = __atomic_load_n(&queue->head, __ATOMIC_ACQUIRE);
  const ve_uint32_t tail = __atomic_load_n(&queue->tail, __ATOMIC_ACQUIRE);
  ve_uint64_t truth = _left(&state->event_buffer) + _left(&state->register_buffer) +
                      _left(&state->statistics_buffer) + _left(&state->heartbeat_buffer);
  for (ve_uint32_t i = _extra(state)->prefetch_next; i < _extra(state)->prefetch_count; ++i) {
    truth += _extra(state)->prefetched[i].size;
  }
  for (ve_uint32_t index = head; index != tail; index = (index + 1) % (2u * queue->size)) {
    const auto *item = reinterpret_cast<const ve_message_buffer_t *>(
        queue->data + static_cast<size_t>(index % queue->size) * queue->block_size);
    truth += item->size;
  }
  if (truth > 0xFFFFFFFFu) truth = 0xFFFFFFFFu;
  const ve_uint32_t counter = _counter(client);
  *counter_seen = counter;
  *head_seen = head;
  *tail_seen = tail;
  if (counter == truth) return false;
  MutexGuard dispatch_guard(&client->dispatch_mutex);
  if (dispatch_guard.locked()) {
    __atomic_store_n(&client->data_available, ve_atomic_t{truth}, __ATOMIC_RELEASE);
    if (counter > truth) {
      decrement_flush_states(client, static_cast<ve_uint32_t>(counter - truth));
    } else {
      increment_flush_states(client, static_cast<ve_uint32_t>(truth - counter));
    }
  }
  return true;
}

void _erroneous_state(dispatcher_state_t *state) {
  VE_LOG_ENTER("_erroneous_state");
  ve_uint32_t counter = 0;
  ve_uint32_t head = 0;
  ve_uint32_t tail = 0;
  // A producer between counting and publishing is no drift: it has published by now.
  if (!_repair_drift(state, &counter, &head, &tail)) VE_RETURN_VOID();
  VE_LOG_DEBUG(QIVA_LOG_ERROR, "state->data_offset: %u", _offset(state));
  VE_LOG_DEBUG(QIVA_LOG_ERROR, "client_data->data_available: %u", counter);
  // The indices run up to twice the capacity; the report shows them cut to 16 bits.
  VE_LOG_DEBUG(QIVA_LOG_ERROR, "client_data->queue.head: %hu,  client_data->queue.tail: %hu",
               static_cast<unsigned short>(head), static_cast<unsigned short>(tail));
  VE_LOG_DEBUG(QIVA_LOG_ERROR,
               "VESKA in erroneous state (state->data_consumed == data_consumed_temp == 0) && "
               "data_available > 0");
  VE_RETURN_VOID();
}

inline bool _bit(const unsigned char *bits, ve_uint32_t index) {
  return (bits[index >> 3] & (1u << (index & 7))) != 0;
}
inline void _set_bit(unsigned char *bits, ve_uint32_t index) {
  bits[index >> 3] = static_cast<unsigned char>(bits[index >> 3] | (1u << (index & 7)));
}
inline void _clear_bit(unsigned char *bits, ve_uint32_t index) {
  bits[index >> 3] = static_cast<unsigned char>(bits[index >> 3] & ~(1u << (index & 7)));
}
// The first message start after `from`, or `end` when there is none before it.
ve_uint32_t _next_start(const dispatcher_state_t *state, ve_uint32_t from, ve_uint32_t end) {
  for (ve_uint32_t index = from + 1; index < end; ++index) {
    if (_extra(state)->message_starts[index >> 3] == 0) {
      index |= 7;  // skip a whole empty byte
      continue;
    }
    if (_bit(_extra(state)->message_starts, index)) return index;
  }
  return end;
}

inline bool _is_control(const dispatcher_state_t *state, const ve_message_buffer_t *buffer) {
  return buffer != &state->event_buffer;
}

inline const unsigned char *_source(dispatcher_state_t *state, const ve_message_buffer_t *buffer) {
  if (!_is_control(state, buffer)) {
    return static_cast<const unsigned char *>(
        veska_internal::pool_data(_client(state)->memory_pool, buffer->data));
  }
  return static_cast<const unsigned char *>(buffer->data);
}

// Everything filled has been written: the next filling starts at the front. A message split
// at the end of the old filling has its written head kept, in case the connection is lost
// before its tail is written too.
void _restart_filling(dispatcher_state_t *state) {
  const ve_uint32_t consumed = _consumed(state);
  const size_t used = (consumed + 7) / 8 + 1;
  const size_t bits = sizeof _extra(state)->message_starts;
  memset(_extra(state)->message_starts, 0, used < bits ? used : bits);
  memset(_extra(state)->control_starts, 0, used < bits ? used : bits);
  _extra(state)->carry_size = 0;
  _extra(state)->carry_end = 0;
  _extra(state)->carry_control = 0;
  ve_message_buffer_t *split[] = {&state->event_buffer, &state->register_buffer,
                                  &state->statistics_buffer, &state->heartbeat_buffer};
  for (ve_message_buffer_t *buffer : split) {
    if (!_partly_consumed(buffer)) continue;
    _extra(state)->carry_size = buffer->offset;
    _extra(state)->carry_control = _is_control(state, buffer) ? 1 : 0;
    const unsigned char *source = _source(state, buffer);
    if (_extra(state)->carry_control == 0 && source != nullptr) {
      memcpy(_extra(state)->carry, source, buffer->offset);
    }
    break;
  }
}

// A write failed, or the peer was found gone before one: keep every unwritten message for the next
// connection, whole and in order, from the start of the one being written (the collector discards a
// message cut off by a closed connection). Control messages are left out (the next connection arms
// its own); a partly copied event keeps its head at the end of the buffer and its tail in
// event_buffer. Waiting flushes move by the change in what remains to be written. Runs with
// dispatch_mutex held; the flushes move only when it was taken.
void _keep_unwritten(dispatcher_state_t *state, ve_client_data_t *client, bool locked) {
  const ve_uint32_t consumed = _consumed(state);
  const ve_uint32_t offset = _offset(state);
  const ve_uint32_t pending_before = consumed - offset + _extra(state)->resend_carry;

  // The start of the message being written: the last start at or before offset, or the front
  // when the filling begins with the tail of a split message.
  ve_uint32_t from = 0;
  bool found = false;
  for (ve_uint32_t index = offset < consumed ? offset + 1 : consumed; index-- > 0;) {
    if (_bit(_extra(state)->message_starts, index)) {
      from = index;
      found = true;
      break;
    }
  }
  ve_uint32_t carry = 0;
  if (!found && _extra(state)->carry_size > 0) {
    if (_extra(state)->carry_control != 0) {
      from = _extra(state)->carry_end < consumed ? _extra(state)->carry_end
                                                 : consumed;  // drop the cut tail
    } else {
      carry = _extra(state)->carry_size;  // the head goes out again before the tail
    }
  }
  if (found || _extra(state)->carry_control != 0) _extra(state)->carry_size = 0;

  // Close up the buffer over the control messages between from and the end.
  ve_uint32_t write = from;
  for (ve_uint32_t read = from; read < consumed;) {
    const ve_uint32_t end = _next_start(state, read, consumed);
    const bool control = _bit(_extra(state)->control_starts, read);
    const bool start = _bit(_extra(state)->message_starts, read);
    _clear_bit(_extra(state)->message_starts, read);
    _clear_bit(_extra(state)->control_starts, read);
    if (!control) {
      if (write != read) memmove(state->data_buffer + write, state->data_buffer + read, end - read);
      if (start) _set_bit(_extra(state)->message_starts, write);
      write += end - read;
    }
    read = end;
  }
  for (ve_uint32_t index = write; index < consumed; ++index) {
    _clear_bit(_extra(state)->message_starts, index);
    _clear_bit(_extra(state)->control_starts, index);
  }
  if (_extra(state)->carry_size > 0 && _extra(state)->carry_end > write)
    _extra(state)->carry_end = write;
  _set_send_positions(state, write, from);
  _extra(state)->resend_carry = carry;
  const ve_uint32_t pending_after = write - from + carry;
  _extra(state)->resend_pending = pending_after > 0 ? 1 : 0;
  if (locked) {
    if (pending_after > pending_before) {
      increment_flush_states(client, pending_after - pending_before);
    } else if (pending_before > pending_after) {
      decrement_flush_states(client, pending_before - pending_after);
    }
  }
}

// Keeps what is unwritten, then closes the endpoint once dispatch_mutex is given back (it is
// never held during network output).
void _lost_connection(dispatcher_state_t *state, transport_endpoint_t *endpoint) {
  VE_LOG_ENTER("_lost_connection");
  ve_client_data_t *client = _client(state);
  {
    MutexGuard guard(&client->dispatch_mutex);
    _keep_unwritten(state, client, guard.locked());
  }
  VE_LOG_MSG(QIVA_LOG_DETAIL, QIVA_MSG_VESKA_LOST_CONNECTION);
  TRANSPORT_close(endpoint);
  VE_RETURN_VOID();
}

// One write, after asking whether the peer is still there: a connection that the collector
// closed would still accept a whole batch into the local kernel, and lose it.
int _send(transport_endpoint_t *endpoint, const unsigned char *bytes, ve_uint32_t *size) {
  if (TRANSPORT_TCP_peer_closed(endpoint) != 0) return QIVA_ERR_TRANSPORT;
  return TRANSPORT_send(endpoint, reinterpret_cast<const char *>(bytes), size);
}

// Takes written bytes off every waiting flush.
void _written(ve_client_data_t *client, ve_uint32_t bytes) {
  if (_first_flush(client) == nullptr) return;
  MutexGuard guard(&client->dispatch_mutex);
  if (guard.locked() && client->flush_state != nullptr) decrement_flush_states(client, bytes);
}

// After a lost connection with messages to resend, the new connection writes its control
// messages straight from their storage, then the kept head of a split event, so that the
// resent messages in data_buffer follow them. Returns 0 or the failed write's result.
int _resend_preamble(dispatcher_state_t *state, transport_endpoint_t *endpoint) {
  ve_client_data_t *client = _client(state);
  ve_message_buffer_t *controls[] = {&state->register_buffer, &state->statistics_buffer,
                                     &state->heartbeat_buffer};
  for (ve_message_buffer_t *buffer : controls) {
    while (!_complete(buffer)) {
      ve_uint32_t size = buffer->size - buffer->offset;
      int result =
          _send(endpoint, static_cast<const unsigned char *>(buffer->data) + buffer->offset, &size);
      if (result != 0) return result;
      buffer->offset += size;
      VE_decrement_data_available(client, size, 0);
      _written(client, size);
    }
    if (buffer == &state->statistics_buffer) state->last_statistics = time(nullptr);
    if (buffer == &state->heartbeat_buffer) state->last_heartbeat = time(nullptr);
  }
  while (_extra(state)->resend_carry > 0) {
    ve_uint32_t size = _extra(state)->resend_carry;
    int result = _send(endpoint, _extra(state)->carry + (_extra(state)->carry_size - size), &size);
    if (result != 0) return result;
    MutexGuard guard(&client->dispatch_mutex);
    _extra(state)->resend_carry -= size;
    if (guard.locked() && client->flush_state != nullptr) decrement_flush_states(client, size);
  }
  _extra(state)->resend_pending = 0;
  return 0;
}

// The buffer get_buffer prefers among the three control messages and a started or partly
// consumed event, or null when the next one must come from the queue.
ve_message_buffer_t *_buffer_before_queue(dispatcher_state_t *state) {
  // One event's bytes are never interleaved with another message's.
  if (_partly_consumed(&state->event_buffer)) return &state->event_buffer;
  if (!_complete(&state->register_buffer)) return &state->register_buffer;
  if (!_complete(&state->statistics_buffer)) return &state->statistics_buffer;
  if (!_complete(&state->heartbeat_buffer)) return &state->heartbeat_buffer;
  if (_not_started(&state->event_buffer)) return &state->event_buffer;
  return nullptr;
}

// Moves the next prefetched message into event_buffer; false when none is left.
bool _take_prefetched(dispatcher_state_t *state) {
  if (_extra(state)->prefetch_next == _extra(state)->prefetch_count) return false;
  // The producers wrote the next events' bytes on other cores: ask for them a few messages
  // ahead, so that their copy does not wait for each transfer in turn.
  const ve_uint32_t ahead = _extra(state)->prefetch_next + kPrefetchAhead;
  if (ahead < _extra(state)->prefetch_count) {
    const char *bytes = static_cast<const char *>(_extra(state)->prefetched[ahead].data);
    __builtin_prefetch(bytes);
    __builtin_prefetch(bytes + 64);
  }
  state->event_buffer = _extra(state)->prefetched[_extra(state)->prefetch_next++];
  return true;
}

// The send step's get_buffer: the same order, but the queue is emptied into a private
// prefetch (up to its room) under one taking of the head lock instead of one per message.
// Prefetched messages are the dispatcher's from then on, still counted as waiting.
ve_message_buffer_t *_next_buffer(dispatcher_state_t *state) {
  ve_message_buffer_t *buffer = _buffer_before_queue(state);
  if (buffer != nullptr) return buffer;
  if (_take_prefetched(state)) return &state->event_buffer;
  ve_client_data_t *client = _client(state);
  _extra(state)->prefetch_next = 0;
  _extra(state)->prefetch_count = 0;
  if (CCQ_empty(&client->queue)) return nullptr;
  _extra(state)->prefetch_count =
      veska_internal::ccq_pop_many(&client->queue, _extra(state)->prefetched, VE_PREFETCH_MESSAGES);
  return _take_prefetched(state) ? &state->event_buffer : nullptr;
}

// Copies what the buffers yield into the send buffer. Returns 1 when the erroneous-state
// recovery ran (the send step then ends), else 0.
int _fill(dispatcher_state_t *state) {
  VE_LOG_ENTER("_fill");
  ve_client_data_t *client = _client(state);
  ve_uint32_t consumed = _consumed(state);
  ve_uint32_t copied = 0;
  ve_uint32_t snapshot = _counter(client);
  // Copied events' blocks, given back to the pool together.
  ve_memory_pool_handle_t freed[VE_PREFETCH_MESSAGES];
  ve_uint32_t freed_count = 0;
  while (consumed < kSendBufferSize) {
    ve_message_buffer_t *buffer = _next_buffer(state);
    if (buffer == nullptr || snapshot <= copied) break;
    ve_uint32_t amount = buffer->size - buffer->offset;
    if (amount > kSendBufferSize - consumed) amount = kSendBufferSize - consumed;
    if (amount > snapshot) {
      snapshot = _counter(client);
      if (amount > snapshot) amount = snapshot;
    }
    const unsigned char *source = _source(state, buffer);
    if (source == nullptr) {
      // Never expected: a message without bytes. Skip it rather than copy from nowhere.
      buffer->offset = buffer->size;
      continue;
    }
    if (buffer->offset == 0) {
      _set_bit(_extra(state)->message_starts, consumed);
      if (_is_control(state, buffer)) _set_bit(_extra(state)->control_starts, consumed);
    }
    const bool carried_tail =
        consumed == 0 && _extra(state)->carry_size > 0 && _extra(state)->carry_end == 0;
    memcpy(state->data_buffer + consumed, source + buffer->offset, amount);
    consumed += amount;
    if (carried_tail) _extra(state)->carry_end = consumed;
    buffer->offset += amount;
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Consumed %u/%u bytes from buffer", buffer->offset, buffer->size);
    if (_complete(buffer)) {
      if (buffer == &state->event_buffer) {
        if (freed_count == VE_PREFETCH_MESSAGES) {
          veska_internal::pool_free_many(client->memory_pool, freed, freed_count);
          freed_count = 0;
        }
        freed[freed_count++] = buffer->data;
        buffer->data = nullptr;
      } else if (buffer == &state->statistics_buffer) {
        state->last_statistics = time(nullptr);
      } else if (buffer == &state->heartbeat_buffer) {
        state->last_heartbeat = time(nullptr);
      }
    }
    copied += amount;
    // The counter is read afresh only when the last reading would end the loop or cut the
    // next copy: producers change it at every push, and reading it at every message would
    // pull its cache line over to this thread once per message, slowing every producer's next
    // exchange. Between readings it only grows, but for drops, which take their messages out
    // of reach of this loop as well.
    if (snapshot <= copied) snapshot = _counter(client);
  }
  if (freed_count != 0) veska_internal::pool_free_many(client->memory_pool, freed, freed_count);
  if (copied > 0) {
    // Publish the filled bytes and take them off the counter in one step under the mutex, so
    // that a starting flush never counts them twice.
    MutexGuard guard(&client->dispatch_mutex);
    __atomic_store_n(&state->data_consumed, consumed, __ATOMIC_RELAXED);
    VE_decrement_data_available(client, copied, guard.locked() ? 1 : 0);
  } else if (consumed == 0 && snapshot != 0) {
    _erroneous_state(state);
    VE_RETURN(1);
  }
  VE_RETURN(0);
}

}  // namespace

extern "C" {

ve_uint64_t data_is_available(dispatcher_state_t *state) {
  if (_consumed(state) != 0 || _extra(state)->resend_carry != 0) return 1;
  ve_uint32_t counter = _counter(_client(state));
  if (counter != 0) return counter;
  return CCQ_empty(&_client(state)->queue) ? 0 : 1;
}

void increment_flush_states(ve_client_data_t *client, ve_uint32_t bytes) {
  for (ve_flush_state_t *flush = client->flush_state; flush != nullptr; flush = flush->next) {
    flush->remaining += bytes;
  }
}

void decrement_flush_states(ve_client_data_t *client, ve_uint32_t bytes) {
  for (ve_flush_state_t *flush = client->flush_state; flush != nullptr; flush = flush->next) {
    if (bytes < flush->remaining) {
      flush->remaining -= bytes;
    } else {
      flush->remaining = 0;
      pthread_cond_signal(&flush->condition);
    }
  }
}

int format_registration(dispatcher_state_t *state) {
  state->register_buffer.offset = 0;
  state->register_buffer.size = VE_REGISTER_MESSAGE_SIZE;
  state->register_buffer.data = state->register_message;
  return VE_serialise_register_message(state->register_message);
}

int format_statistics(dispatcher_state_t *state) {
  state->statistics_buffer.offset = 0;
  state->statistics_buffer.size = VE_STATISTICS_MESSAGE_SIZE;
  state->statistics_buffer.data = state->statistics_message;
  return VE_serialise_statistics_message(state->statistics_message);
}

int format_heartbeat(dispatcher_state_t *state) {
  state->heartbeat_buffer.offset = 0;
  state->heartbeat_buffer.size = VE_HEARTBEAT_MESSAGE_SIZE;
  state->heartbeat_buffer.data = state->heartbeat_message;
  return VE_serialise_heartbeat_message(state->heartbeat_message, nullptr);
}

void check_heartbeat(dispatcher_state_t *state, time_t now) {
  if (!_complete(&state->register_buffer) || _connected(state) != 1) return;
  if (!_complete(&state->statistics_buffer) && !_complete(&state->heartbeat_buffer)) return;
  ve_client_data_t *client = _client(state);
  // A clock that went backwards makes both due at once.
  if (_complete(&state->statistics_buffer) &&
      (now < state->last_statistics || now - state->last_statistics >= kStatisticsInterval)) {
    if (format_statistics(state) == 0) {
      VE_increment_data_available(client, VE_STATISTICS_MESSAGE_SIZE, 1, 0);
    }
  }
  if (_complete(&state->heartbeat_buffer) &&
      (now < state->last_heartbeat || now - state->last_heartbeat >= kHeartbeatInterval)) {
    if (format_heartbeat(state) == 0) {
      VE_increment_data_available(client, VE_HEARTBEAT_MESSAGE_SIZE, 1, 0);
    }
  }
}

// Pops one message at a time, as callers outside the send step expect of the queue; messages
// the send step already prefetched go first, so the order of the stream is kept.
ve_message_buffer_t *get_buffer(dispatcher_state_t *state) {
  ve_message_buffer_t *buffer = _buffer_before_queue(state);
  if (buffer != nullptr) return buffer;
  if (_take_prefetched(state)) return &state->event_buffer;
  ve_client_data_t *client = _client(state);
  return CCQ_pop(&client->queue, &state->event_buffer) != nullptr ? &state->event_buffer : nullptr;
}

int connect_client(ve_config_t *config, dispatcher_state_t *state) {
  VE_LOG_ENTER("connect_client");
  ve_client_data_t *client = _client(state);
  volatile ve_config_t *live = config;  // the application may change these fields meanwhile
  ve_uint32_t connect_retries = live->connect_retries;
  ve_uint32_t connect_attempts = connect_retries + 1;
  time_t last_error_logged = 0;

  while (_connected(state) == 0 && connect_attempts != 0) {
    const char *server = live->server;
    size_t name_length = 0;
    const char *server_address = TRANSPORT_split_server(server, &name_length);
    if (server_address == nullptr) server_address = "";
    VE_LOG_MSG(QIVA_LOG_DETAIL, QIVA_MSG_VESKA_INITIATING_CONNECTION,
               server != nullptr ? server : "(null)");
    ve_uint32_t timeout_ms = live->connect_timeout;
    struct timeval timeout;
    timeout.tv_sec = static_cast<time_t>(timeout_ms / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
    // The previous connection's record was released by its close; start from a clean endpoint.
    memset(&state->endpoint, 0, sizeof state->endpoint);
    if (TRANSPORT_connect_timeout(&client->transport, &state->endpoint, server_address, &timeout) ==
        0) {
      if (TRANSPORT_set_blocking(&state->endpoint, 1) == 0) {
        _set_connected(state, 1);
        break;
      }
      TRANSPORT_close(&state->endpoint);
    }

    // The first failure of a series is an error, later ones detail, at most one error per
    // 300 s.
    time_t error_time = time(nullptr);
    if (error_time < last_error_logged || error_time - last_error_logged >= kErrorReportInterval) {
      VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_TRANSPORT_CONNECT_FAILED, server_address);
      last_error_logged = error_time;
    } else {
      VE_LOG_MSG(QIVA_LOG_DETAIL, QIVA_MSG_TRANSPORT_CONNECT_FAILED, server_address);
    }

    // Follow a change of the configured count made while this series runs.
    ve_uint32_t configured = live->connect_retries;
    if (configured != connect_retries) {
      VE_LOG_DEBUG(QIVA_LOG_DETAIL, "connect_retries changed from %u to %u", connect_retries,
                   configured);
      if (configured > connect_retries) {
        connect_attempts += configured - connect_retries;
      } else {
        ve_uint32_t attempts_made = connect_retries + 1 - connect_attempts;
        if (attempts_made > configured + 1) {
          connect_attempts = 0;
        } else {
          connect_attempts = configured + 2 - attempts_made;
        }
      }
      connect_retries = configured;
    }

    if (connect_attempts != 0) {
      if (connect_retries != 0 || _shutdown(client) != 0) {
        --connect_attempts;
        if (connect_attempts != 0) qiva_msleep(live->connect_retry_interval);
      } else {
        qiva_msleep(live->connect_retry_interval);  // retrying for ever
      }
    }
  }

  if (_connected(state) == 0) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_VESKA_RETRIES_EXCEEDED);
    VE_RETURN(QIVA_ERR_TIMEDOUT);
  }

  VE_statistics_counter_increment(VE_STATS_CONNECTIONS_MADE);
  int result = format_registration(state);
  if (result == 0) result = format_statistics(state);
  if (result == 0) result = format_heartbeat(state);
  if (result != 0) {
    TRANSPORT_close(&state->endpoint);
    _set_connected(state, 0);
    VE_RETURN(result);
  }
  VE_increment_data_available(
      client, VE_REGISTER_MESSAGE_SIZE + VE_STATISTICS_MESSAGE_SIZE + VE_HEARTBEAT_MESSAGE_SIZE, 0,
      0);
  VE_LOG_MSG(QIVA_LOG_DETAIL, QIVA_MSG_VESKA_CONNECTED, live->server);
  state->endpoint.userdata = state;
  VE_RETURN(0);
}

int on_writeable(transport_endpoint_t *endpoint) {
  VE_LOG_ENTER("on_writeable");
  if (endpoint == nullptr || endpoint->userdata == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  auto *state = static_cast<dispatcher_state_t *>(endpoint->userdata);
  ve_client_data_t *client = _client(state);
  int error = 0;
  if (_extra(state)->resend_pending != 0) {
    error = _resend_preamble(state, endpoint);
    if (error == QIVA_ERR_AGAIN) VE_RETURN(0);
    if (error != 0) _lost_connection(state, endpoint);
  }
  while (error == 0 && data_is_available(state) != 0) {
    if (_consumed(state) < kSendBufferSize && data_is_available(state) != 0) {
      if (_fill(state) != 0) VE_RETURN(0);  // the erroneous-state recovery ran
    }

    ve_uint32_t consumed = _consumed(state);
    ve_uint32_t offset = _offset(state);
    ve_uint32_t size = consumed - offset;
    // Nothing copied and nothing left to write: the counter has not caught up with a message
    // just queued. Leave it for the next cycle instead of sending nothing in a loop.
    if (size == 0) break;
    int result = _send(endpoint, state->data_buffer + offset, &size);
    if (result == QIVA_ERR_AGAIN) break;
    if (result != 0) {
      _lost_connection(state, endpoint);
      error = result;
      break;
    }
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Sent %u/%u bytes", size, consumed);
    offset += size;
    if (offset >= consumed) _restart_filling(state);
    MutexGuard guard(&client->dispatch_mutex);
    if (offset >= consumed) {
      _set_send_positions(state, 0, 0);
    } else {
      __atomic_store_n(&state->data_offset, offset, __ATOMIC_RELAXED);
    }
    if (guard.locked() && client->flush_state != nullptr) decrement_flush_states(client, size);
  }

  // Control messages not completely copied when the connection is lost are counted again
  // when a reconnection re-arms them; take their remaining bytes off the counter now. (While
  // the connection lasts they stay armed and counted.)
  if (error == 0) VE_RETURN(0);
  ve_uint32_t pending = 0;
  const ve_message_buffer_t *controls[] = {&state->register_buffer, &state->statistics_buffer,
                                           &state->heartbeat_buffer};
  for (const ve_message_buffer_t *buffer : controls) {
    if (!_complete(buffer)) pending += buffer->size - buffer->offset;
  }
  if (pending != 0) VE_decrement_data_available(client, pending, 0);
  VE_RETURN(error);
}

ve_uint64_t _monotonic_ns() {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<ve_uint64_t>(now.tv_sec) * 1000000000ull +
         static_cast<ve_uint64_t>(now.tv_nsec);
}

// How fast the send buffers have been filling, as seen by the dispatcher.
struct _fill_pace_t {
  ve_uint64_t last_full_ns;  // when a full buffer was last found waiting
  int slow_in_a_row;         // buffers in a row that took kSlowFillNanoseconds or more
};

// Called whenever the dispatcher finds a full buffer waiting: the looks to take before waiting
// to be woken again, none unless the buffers have been filling slowly and steadily.
int _looks_after_full_buffer(_fill_pace_t *pace) {
  const ve_uint64_t now = _monotonic_ns();
  const bool slow = pace->last_full_ns != 0 && now - pace->last_full_ns >= kSlowFillNanoseconds;
  pace->last_full_ns = now;
  pace->slow_in_a_row = slow ? pace->slow_in_a_row + 1 : 0;
  return pace->slow_in_a_row >= kSlowFillsToPoll ? kIdlePolls : 0;
}

// The deadline of the next look when it comes before the whole-second deadline; false when
// the whole second comes first (its wait then serves as the look).
bool _poll_deadline(const struct timespec &whole_second, struct timespec *poll) {
  if (clock_gettime(CLOCK_REALTIME, poll) != 0) return false;
  poll->tv_nsec += kPollNanoseconds;
  if (poll->tv_nsec >= 1000000000L) {
    poll->tv_nsec -= 1000000000L;
    ++poll->tv_sec;
  }
  return poll->tv_sec < whole_second.tv_sec ||
         (poll->tv_sec == whole_second.tv_sec && poll->tv_nsec < whole_second.tv_nsec);
}

void *VE_client_dispatch(void *arg) {
  VE_LOG_ENTER("VE_client_dispatch");
  auto *config = static_cast<ve_config_t *>(arg);
  auto *config_data = static_cast<ve_config_data_t *>(config->handle);
  ve_client_data_t *client = &config_data->client_data;
  dispatcher_state_t *state = &client->dispatcher_state;
  // Set when a send step during shutdown moved nothing; the next cycle then waits for its
  // second instead of turning without pause.
  bool stalled = false;
  int polls_left = 0;  // looks to go before waiting to be woken again
  _fill_pace_t pace = {0, 0};

  for (;;) {
    time_t now = time(nullptr);
    struct timespec deadline;
    deadline.tv_sec = now + 1;  // the next whole second
    deadline.tv_nsec = 0;

    if (pthread_mutex_lock(&client->dispatch_mutex) != 0) {
      __atomic_store_n(&state->exited, 1, __ATOMIC_RELEASE);
      __atomic_store_n(&client->shutdown, 1, __ATOMIC_RELEASE);
      VE_RETURN_VALUE(reinterpret_cast<void *>(intptr_t{QIVA_ERR_OSERROR}), QIVA_ERR_OSERROR);
    }
    bool dispatch = false;
    int stopping = _shutdown(client);
    // Sequentially consistent: read after clearing dispatcher_polling, it sees the increment of
    // any producer that read the flag still set.
    const bool buffer_full = static_cast<ve_uint32_t>(__atomic_load_n(
                                 &client->data_available, __ATOMIC_SEQ_CST)) >= kSendBufferSize;
    if (buffer_full && _connected(state) != 0) polls_left = _looks_after_full_buffer(&pace);
    if (data_is_available(state) != 0 &&
        (_connected(state) == 0 || client->flush_state != nullptr || buffer_full ||
         (stopping != 0 && !stalled))) {
      // Once stopping, whatever is available goes out at once: nothing else would wake this
      // thread for events queued after the stopping flush returned.
      check_heartbeat(state, now);
      dispatch = true;
    } else if (stopping != 0 && !stalled) {
      // Nothing to send while stopping: the loop condition below ends the thread.
    } else {
      struct timespec poll;
      const bool polling = polls_left > 0 && client->queue.size >= kPollQueueSize &&
                           _connected(state) != 0 && _poll_deadline(deadline, &poll);
      // Sequentially consistent, like the producers' counter updates: a producer that reads
      // the flag clear after its increment signals; one that reads it set leaves the count
      // to the look, which re-tests it at the top of the loop.
      if (polling) __atomic_store_n(&client->dispatcher_polling, 1, __ATOMIC_SEQ_CST);
      int waited = pthread_cond_timedwait(&client->dispatch_cond, &client->dispatch_mutex,
                                          polling ? &poll : &deadline);
      if (polling) __atomic_store_n(&client->dispatcher_polling, 0, __ATOMIC_SEQ_CST);
      if (polling && waited == ETIMEDOUT) {
        --polls_left;  // the next turn's test decides whether a buffer is waiting
      } else if (waited == 0) {
        // Woken by a producer whose event filled a buffer: look for the next one instead of
        // waiting to be woken for it, if this one filled slowly.
        if (_connected(state) != 0 && _counter(client) >= kSendBufferSize) {
          polls_left = _looks_after_full_buffer(&pace);
        }
        check_heartbeat(state, now);
        dispatch = data_is_available(state) != 0;
      } else if (waited == ETIMEDOUT) {
        if (_connected(state) != 0) {
          check_heartbeat(state, now + 1);
          dispatch = data_is_available(state) != 0;
        }
      }
      stalled = false;
    }
    if (pthread_mutex_unlock(&client->dispatch_mutex) != 0) break;

    if (dispatch) {
      if (_connected(state) == 0) {
        int result = connect_client(config, state);
        if (result != 0) {
          _mark_exited(client, state);
          VE_RETURN_VALUE(reinterpret_cast<void *>(static_cast<intptr_t>(result)), result);
        }
      }
      progress_mark_t before = _progress_mark(state);
      int result = on_writeable(&state->endpoint);
      if (result != 0) {
        // The send step closed the endpoint whatever the failure was.
        VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_VESKA_LOST_CONNECTION);
        _set_connected(state, 0);
      }
      stalled = _shutdown(client) != 0 && result == 0 && _progress_mark(state) == before;
    }
    if (_shutdown(client) != 0 && data_is_available(state) == 0) break;
  }

  if (_connected(state) != 0) {
    TRANSPORT_close(&state->endpoint);
    _set_connected(state, 0);
  }
  _mark_exited(client, state);
  VE_RETURN_VALUE(reinterpret_cast<void *>(intptr_t{0}), 0);
}

}  // extern "C"
