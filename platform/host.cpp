#include "platform/host.h"

#include <atomic>

#include "platform/event_log.h"
#include "platform/port_device.h"
#include "platform/registry.h"

namespace kvx::platform {
namespace {

std::atomic<registry*> registry_replacement{nullptr};
std::atomic<event_log_service*> event_logs_replacement{nullptr};
std::atomic<port_transport*> ports_replacement{nullptr};

}  // namespace

registry* set_host_registry(registry* replacement) { return registry_replacement.exchange(replacement); }
event_log_service* set_host_event_logs(event_log_service* replacement) {
  return event_logs_replacement.exchange(replacement);
}
port_transport* set_host_ports(port_transport* replacement) { return ports_replacement.exchange(replacement); }

registry& host_registry() {
  registry* r = registry_replacement.load();
  return r != nullptr ? *r : backend_registry();
}

event_log_service& host_event_logs() {
  event_log_service* s = event_logs_replacement.load();
  return s != nullptr ? *s : backend_event_logs();
}

port_transport& host_ports() {
  port_transport* p = ports_replacement.load();
  return p != nullptr ? *p : backend_ports();
}

}  // namespace kvx::platform
