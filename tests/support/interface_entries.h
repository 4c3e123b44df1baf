// Adapter entries for tests that fill the interface table themselves: linked
// at the tail, as the table build leaves them. Header only: the tests that
// use it link the capture.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "logd/capture/interface_table.h"
#include "logd/state_store.h"

namespace kvx::test {

/// A new entry named `name` ("\\\\.\\scsi2") at `location`, adopted by the
/// store and linked at the tail of interface_table.
inline logd::interface_entry* link_entry_at_tail(const std::string& name, std::uint32_t location = 0) {
  auto made = std::make_unique<logd::interface_entry>();
  made->symbolic_link_name = name;
  made->bus_dev_func = static_cast<std::int32_t>(location);
  logd::interface_entry* entry = logd::adopt_interface_entry(std::move(made));
  if (logd::interface_entry* last = logd::last_interface()) {
    logd::set_next(last, entry);
  } else {
    logd::set_interface_table(entry);
  }
  return entry;
}

/// The device name of SCSI port `port`, as the table build gives it.
inline std::string port_device(int port) { return "\\\\.\\scsi" + std::to_string(port); }

}  // namespace kvx::test
