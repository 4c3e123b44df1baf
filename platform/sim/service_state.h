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
//   handles/    one empty file per open service handle, named
//               "<pid>.<start time>.<serial>" after the process that holds it
//   handles.lock  flock'ed while a handle is opened or the service is
//               finally deleted, so that neither misses the other
//   ack.<pid>.<serial>  a FIFO made by a controller for one control: the
//               dispatcher writes a byte to it once the handler has run
// A service process finds its directory in the environment variable
// KVX_SERVICE_CONTROL, set only for the process that a start created.
#pragma once

#include <unistd.h>

#include <cstddef>
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

/// Records an open service handle of this process under <dir>/handles/; the
/// file's path, or an empty path when it cannot be written.
std::filesystem::path record_open_handle(const std::filesystem::path& dir);
/// Removes what record_open_handle wrote.
void forget_open_handle(const std::filesystem::path& file);
/// The handles recorded under <dir>/handles/ whose process still runs. The
/// files of processes that have ended (killed, crashed, never closed their
/// handles) are removed on the way: they count for nothing.
int live_handle_count(const std::filesystem::path& dir);
/// flock on <dir>/handles.lock, held until the descriptor closes; invalid on failure.
unique_fd lock_handles(const std::filesystem::path& dir);
/// Removes the run state of a service that is gone (status, history, the
/// control FIFO), so that a service created again under the name starts as
/// one that never ran.
void remove_run_state(const std::filesystem::path& dir);

/// A control as it travels through the FIFO: the code and the controller's
/// acknowledgement FIFO (ack.<pid>.<serial>), in host order.
struct control_message {
  std::uint32_t code = 0;
  std::uint32_t pid = 0;
  std::uint32_t serial = 0;
};
inline constexpr std::size_t control_message_size = 12;
/// The acknowledgement FIFO of a control.
std::filesystem::path control_ack_path(const std::filesystem::path& dir, std::uint32_t pid, std::uint32_t serial);

/// What the system itself sends a running service, which ControlService
/// cannot (the preshutdown and shutdown controls): delivered to the service's
/// handler like any control. error_success once the handler has run;
/// error_service_not_active when the service's process does not run.
std::uint32_t send_system_control(const std::string& name, std::uint32_t code);
/// The preshutdown timeout the service registered, in milliseconds; Windows'
/// default (10000) when it registered none.
std::uint32_t preshutdown_timeout_of(const std::string& name);

/// The dispatcher of a service process (run_dispatcher of the sim backend).
std::uint32_t run_service_dispatcher(const char* service_name,
                                     const std::function<void(platform::service_session&)>& service_main);

}  // namespace kvx::sim
