// The shared state store for one test (or one fuzz round): the capture's stop
// cleared when the session starts; when it ends, the store torn down and the
// stop cleared again, so that the next test starts from a store like the
// worker's first. No capture thread may run when it ends: join the writers
// first (the store holds no host handle, so the fakes installed beside it may
// go before or after it). Header only: the tests that use it link the capture.
#pragma once

#include "logd/capture/capture_life.h"
#include "logd/state_store.h"

namespace kvx::test {

class store_session {
 public:
  store_session() { logd::clear_capture_stop(); }
  ~store_session() {
    logd::teardown_store();
    logd::clear_capture_stop();
  }
  store_session(const store_session&) = delete;
  store_session& operator=(const store_session&) = delete;
};

}  // namespace kvx::test
