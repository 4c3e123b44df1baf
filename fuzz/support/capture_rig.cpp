#include "fuzz/support/capture_rig.h"

#include <memory>

namespace kvx::fuzz {

capture_rig::capture_rig() {
  logd::set_max_retry_count(2);
  logd::set_retry_frequency(0);
  auto made = std::make_unique<logd::interface_entry>();
  made->symbolic_link_name = "\\\\.\\scsi2";
  entry = logd::adopt_interface_entry(std::move(made));
  logd::set_interface_table(entry);
}

void capture_rig::new_round(FuzzedDataProvider& in, int count, std::size_t max_bytes) {
  ports.script.clear();
  ports.next = 0;
  for (int i = 0; i < count; ++i) ports.script.push_back(fuzzed_answer(in, max_bytes));
  logd::set_next(entry, nullptr);
  logd::set_removed(entry, false);
  logd::set_interface_table(entry);
}

}  // namespace kvx::fuzz
