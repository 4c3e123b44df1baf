// PLACEHOLDER until the adapter access module lands: every request fails.
#include "adapter/logger_requests.h"

namespace kvx::adapter {

std::unique_ptr<detail_reply> request_detail_data(logd::interface_entry*) { return nullptr; }
int release_detail_slot(logd::interface_entry*, int) { return 1; }
int request_adapter_data(const std::string&, int, std::uint8_t*) { return -1; }
int request_pci_location(const std::string&, std::uint32_t&) { return -1; }

}  // namespace kvx::adapter
