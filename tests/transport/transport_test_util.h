// Helpers of the transport tests: an instance of one transport module, and the loopback
// sockets of tests/support.
#ifndef VESKA_TESTS_TRANSPORT_TEST_UTIL_H
#define VESKA_TESTS_TRANSPORT_TEST_UTIL_H

#include "lib/transport/transport.h"
#include "support/loopback.h"

namespace veska_test {

// A transport instance of one module, initialised on construction, destroyed at the end.
class Instance {
 public:
  explicit Instance(const char *module_name) { rc_ = TRANSPORT_init(&instance_, module_name); }
  ~Instance() {
    if (instance_.module != nullptr) TRANSPORT_destroy(&instance_);
  }
  Instance(const Instance &) = delete;
  Instance &operator=(const Instance &) = delete;
  int init_result() const { return rc_; }
  transport_instance_t *get() { return &instance_; }

 private:
  transport_instance_t instance_ = {};
  int rc_ = -1;
};

}  // namespace veska_test

#endif  // VESKA_TESTS_TRANSPORT_TEST_UTIL_H
