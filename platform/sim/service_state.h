// The simulated service manager keeps no daemon: a service's state lives in
// its directory <host root>/services/<name in lower case>/, shared by the
// programs that start, control and query it and by the service process itself.
//   status      the last reported SERVICE_STATUS with the service process's id
//               and start time, as "key value" lines; replaced by rename
//   control     a FIFO: each control code is 4 bytes (host order) that the
//               service's dispatcher thread reads and hands to its handler
//   history     one line "state S win32_exit_code E" per status written
//               since the last start, oldest first
//   lock        flock'ed while a start is in progress
//   output.log  the service process's standard output and error
// A service process finds its directory in the environment variable
// KVX_SERVICE_CONTROL, set only for the process that a start created.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/service.h"
#include "platform/sim/unique_fd.h"

namespace kvx::sim {

inline constexpr const char* service_control_variable = "KVX_SERVICE_CONTROL";

/// A process named by id and start time, so that a recycled id is not taken
/// for the process that had it before.
struct process_identity {
  long pid = 0;
  unsigned long long start_time = 0;  ///< clock ticks after boot, /proc/<pid>/stat field 22
};

/// The identity of a running process; false when it does not exist.
bool read_process_identity(long pid, process_identity& out);
/// True while the process runs (a zombie has ended).
bool process_alive(const process_identity& process);

/// What the status file holds.
struct service_record {
  platform::service_status status;
  process_identity process;
};

/// The service's directory (created when missing).
std::filesystem::path service_directory(const std::string& name);

/// False when there is no status file (the service never started) or it
/// cannot be read.
bool read_service_record(const std::filesystem::path& dir, service_record& out);
/// Replaces the status file whole; false when it cannot be written.
bool write_service_record(const std::filesystem::path& dir, const service_record& record);

/// The status the manager gives for the record: as reported while the process
/// lives; stopped with error_process_aborted once it has ended without
/// reporting SERVICE_STOPPED; stopped with error_service_never_started
/// without a record.
platform::service_status effective_status(bool have_record, const service_record& record);

/// The dispatcher of a service process (run_dispatcher of the sim backend).
std::uint32_t run_service_dispatcher(const char* service_name,
                                     const std::function<void(platform::service_session&)>& service_main);

}  // namespace kvx::sim
