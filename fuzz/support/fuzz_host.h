// What the fuzz targets share: one throw-away simulated host per process and
// stand-ins for the host's event logs and port devices that keep every
// iteration cheap, in memory, and free of anything that grows on disk from
// one iteration to the next. (The registry stand-in is the one hbautil's
// tests use, tests/fakes/paramutil_fake_registry.h.)
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_log.h"
#include "platform/port_device.h"

namespace kvx::fuzz {

/// Sets KVX_HOST_ROOT to a fresh directory on the first call (removed when
/// the process exits normally) and gives that directory on every call.
const std::filesystem::path& temp_host_root();

/// Replaces `path` (its parent directories made) with exactly `bytes`.
void write_file(const std::filesystem::path& path, std::string_view bytes);

/// An event-log service whose sources take every report and drop it, so
/// that report_event costs nothing and the Application log of the temporary
/// host never grows. Logs are opened by `readers` (none when it is null).
class quiet_event_logs final : public platform::event_log_service {
 public:
  explicit quiet_event_logs(platform::event_log_service* readers = nullptr) : readers_(readers) {}
  std::unique_ptr<platform::event_log_reader> open_log(const char* log_name) override;
  std::unique_ptr<platform::event_source> register_source(const char* source_name) override;
  /// Reports taken since construction.
  int reports() const { return reports_; }

 private:
  platform::event_log_service* readers_;
  int reports_ = 0;
};

/// Port devices that answer from a script: every open succeeds unless
/// `refuse_open` names its error, and each exchange copies the next scripted
/// reply over the start of the caller's buffer (a shorter reply leaves the
/// rest of the packet as it was sent) and gives the scripted error. When the
/// script runs out, exchanges succeed and change nothing.
class scripted_ports final : public platform::port_transport {
 public:
  struct answer {
    std::uint32_t error = 0;
    std::uint32_t returned = 0;
    std::vector<std::uint8_t> bytes;
  };

  std::uint32_t refuse_open = 0;
  std::vector<answer> script;
  std::size_t next = 0;

  std::uint32_t open(const char* path, platform::share_mode mode, std::unique_ptr<platform::port_device>& out) override;
  bool query_dos_device(const char* dos_name, std::string& target, std::uint32_t& error) override;

  /// The next answer, or a silent success when the script has run out.
  answer take();
};

/// An answer of the driver read from the input: mostly success, busy or a
/// failure, now and then any error code; any byte count and up to
/// `max_bytes` reply bytes.
scripted_ports::answer fuzzed_answer(FuzzedDataProvider& in, std::size_t max_bytes);

}  // namespace kvx::fuzz
