// The shared store of hbalogd as the fuzz targets of its capture code need
// it: the store's locks in place, report_event silenced, port devices that
// answer from a script, driver requests tried at most twice without a pause,
// and one adapter entry ("\\.\scsi2") for the requests and entries to use.
#pragma once

#include "fuzz/support/fuzz_host.h"
#include "logd/state_store.h"
#include "platform/host.h"

namespace kvx::fuzz {

struct capture_rig {
  quiet_event_logs logs;
  scripted_ports ports;
  platform::scoped_event_logs logs_guard{logs};
  platform::scoped_ports ports_guard{ports};
  logd::interface_entry* entry = nullptr;

  capture_rig();
  /// Replaces the script with `count` answers read from the input and links
  /// the entry as the whole adapter table again (a refused open unlinks it).
  void new_round(FuzzedDataProvider& in, int count, std::size_t max_bytes);
};

}  // namespace kvx::fuzz
