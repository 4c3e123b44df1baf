// Settings that only tests give hbalogd, through its environment. They exist
// in the simulated-host build alone: the Windows program links the empty
// variant and reads nothing from its environment.
#pragma once

namespace kvx::logd {

/// Read once, before anything else runs. KVX_TEST_RETRY_CYCLE_MS, a positive
/// number of milliseconds, shortens the capture's retry cycle (60000) so that
/// tests need not wait minutes for it.
void apply_test_settings();

}  // namespace kvx::logd
