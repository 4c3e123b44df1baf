#include "logd/capture/service_requests.h"

#include "logd/capture/capture_hooks.h"
#include "logd/capture/capture_life.h"
#include "logd/capture/interface_table.h"
#include "logd/output/report_event.h"

namespace kvx::logd {

adapter::request_context request_context_for(const std::string& name) {
  adapter::request_context context;
  context.name = name;
  context.own_requests = &device_request_lock(name);
  context.max_retry_count = get_max_retry_count();
  context.retry_frequency = get_retry_frequency();
  // A capture that has to halt must not be held for the rest of the retries.
  context.pause = [](std::int32_t milliseconds) {
    capture_step_taken(capture_step::busy_pause);
    return sleep_unless_stopping(milliseconds);
  };
  return context;
}

adapter::request_context request_context_for(interface_entry* entry) {
  adapter::request_context context = request_context_for(get_symbolic_link_name(entry));
  context.attempt_done = [entry](std::uint32_t error) { set_last_error(entry, static_cast<std::int32_t>(error)); };
  // The entry may be released by others once unlinked: it is not touched again.
  context.device_gone = [name = context.name] { remove_interface(name); };
  context.allocation_failed = [] { report_event(report_error, "Unable to allocate memory for interface table."); };
  return context;
}

std::unique_ptr<adapter::detail_reply> request_detail_data(interface_entry* entry) {
  if (entry == nullptr) return nullptr;
  return adapter::request_detail_data(request_context_for(entry));
}

int release_detail_slot(interface_entry* entry, int slot) {
  if (entry == nullptr) return 1;
  return adapter::release_detail_slot(request_context_for(entry), slot);
}

int request_adapter_data(const std::string& name, int type, std::uint8_t* data) {
  return adapter::request_adapter_data(request_context_for(name), type, data);
}

int request_pci_location(const std::string& name, std::uint32_t& location) {
  return adapter::request_pci_location(request_context_for(name), location);
}

}  // namespace kvx::logd
