// What the collector does with a decoded message: every output (the JSON Lines writer, and any
// forwarder) receives each message of every connection in stream order as a Delivery, which
// points into the bytes the collector read and is valid only during the call.
#ifndef VESKA_TOOLS_COLLECTOR_OUTPUT_H
#define VESKA_TOOLS_COLLECTOR_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/collector/decoding/decoder.h"

namespace veska {
namespace collector {

// Where a message read back from a Kafka topic came from. An output that keeps state across
// restarts (the store) records the position with the message, in the same transaction, so that
// a restarted consumer resumes after it and neither loses nor repeats a message.
struct SourcePosition {
  const std::string *topic;
  int32_t partition;
  int64_t offset;
};

// One decoded message of one connection.
class Delivery {
 public:
  Delivery(const wire::MessageView &message, uint64_t connection, const std::string &peer,
           const SourcePosition *source = nullptr)
      : message_(message), connection_(connection), peer_(peer), source_(source) {}

  wire::MessageKind kind() const { return message_.kind; }
  const char *kind_name() const { return wire::message_kind_name(message_.kind); }
  uint64_t connection() const { return connection_; }  // 1 for the first accepted connection
  const std::string &peer() const { return peer_; }    // "HOST:PORT"
  // The message exactly as it came on the wire, header included.
  const uint8_t *bytes() const { return message_.data; }
  size_t size() const { return message_.length; }
  // The event's transaction id; null (size 0) when the message is not an event with an
  // instance section. An empty id is a non-null pointer with size 0.
  const uint8_t *transaction_id() const { return message_.transaction_id; }
  size_t transaction_id_size() const { return message_.transaction_id_length; }
  const wire::MessageView &message() const { return message_; }
  // Null for a message read from a client connection.
  const SourcePosition *source() const { return source_; }
  // Appends the JSON line the collector writes for this message, with its newline.
  void render_json(std::string *line) const;

 private:
  const wire::MessageView &message_;
  uint64_t connection_;
  const std::string &peer_;
  const SourcePosition *source_;
};

// A destination for decoded messages. The collector calls every method from its one thread.
class Output {
 public:
  virtual ~Output() = default;
  // One message; called for every message until --count is reached.
  virtual void deliver(const Delivery &message) = 0;
  // The connection's stream failed to decode at error.offset; the connection is being closed.
  virtual void protocol_error(uint64_t connection, const std::string &peer,
                              const wire::DecodeError &error) {
    (void)connection, (void)peer, (void)error;
  }
  // Once per turn of the collector's loop (at least every 100 ms), for background work.
  virtual void poll() {}
  // False while the output cannot take more messages without waiting (its queue towards a
  // slower sink is full): the intake then stops reading sockets, so that the clients' own
  // queues take the back-pressure instead of the collector dropping anything.
  virtual bool accepting() const { return true; }
  // After each turn that read data: what was delivered so far should become visible.
  virtual void flush() {}
  // At exit, before the summary: deliver what is still held, waiting at most about seconds.
  virtual void finish(double seconds) { (void)seconds; }
  // Adds this output's counts to the --summary object.
  virtual void summarise(nlohmann::ordered_json *summary) { (void)summary; }
  // Messages this output counted as lost: not written or not delivered. Non-zero makes the
  // collector's exit status say so.
  virtual uint64_t failed() const { return 0; }
};

// The JSON line of a message (with its newline), appended to *line.
void render_json_line(const wire::MessageView &message, uint64_t connection,
                      const std::string &peer, std::string *line);
// The JSON line of a protocol error, appended to *line.
void render_protocol_error_line(uint64_t connection, const std::string &peer,
                                const wire::DecodeError &error, std::string *line);

}  // namespace collector
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_OUTPUT_H
