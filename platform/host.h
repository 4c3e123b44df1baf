// Where code finds the platform services: the backend that the build links,
// unless a test has put a replacement in its place. Replacements are installed
// before the threads that use them start and removed after they end.
#pragma once

namespace kvx::platform {

class registry;
class event_log_service;
class port_transport;

/// Each setter installs a replacement (null restores the backend's own service)
/// and gives back the one it displaced.
registry* set_host_registry(registry* replacement);
event_log_service* set_host_event_logs(event_log_service* replacement);
port_transport* set_host_ports(port_transport* replacement);

/// The services of the linked backend (platform/sim or platform/win32).
registry& backend_registry();
event_log_service& backend_event_logs();
port_transport& backend_ports();

/// Installs a replacement for the guard's lifetime.
template <class Service, Service* (*Setter)(Service*)>
class scoped_host_service {
 public:
  explicit scoped_host_service(Service& replacement) : previous_(Setter(&replacement)) {}
  ~scoped_host_service() { Setter(previous_); }
  scoped_host_service(const scoped_host_service&) = delete;
  scoped_host_service& operator=(const scoped_host_service&) = delete;

 private:
  Service* previous_;
};

using scoped_registry = scoped_host_service<registry, set_host_registry>;
using scoped_event_logs = scoped_host_service<event_log_service, set_host_event_logs>;
using scoped_ports = scoped_host_service<port_transport, set_host_ports>;

}  // namespace kvx::platform
