// The program's side of the simulated service manager: the dispatcher that
// StartServiceCtrlDispatcherA stands for, the control handler's channel and
// the status reports. A process is a service only when the status file of the
// directory named by KVX_SERVICE_CONTROL names this very process, which the
// start writes before the program runs; any other process (one started by
// hand, or a child that inherited the variable) is refused with
// error_failed_service_controller_connect, as Windows refuses a program that
// the manager did not start. A control's sender waits for its acknowledgement
// (service_state.h), written once the handler has returned, as ControlService
// returns only then.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/service.h"
#include "platform/sim/service_state.h"
#include "platform/win_codes.h"

namespace kvx::sim {
namespace {

class sim_reporter final : public platform::service_status_reporter {
 public:
  sim_reporter(std::filesystem::path dir, process_identity self) : dir_(std::move(dir)), self_(self) {}

  bool report(const platform::service_status& status) override {
    service_record record;
    record.status = status;
    record.process = self_;
    return write_service_record(dir_, record);
  }

 private:
  std::filesystem::path dir_;
  process_identity self_;
};

class sim_session final : public platform::service_session {
 public:
  sim_session(std::filesystem::path dir, process_identity self) : dir_(std::move(dir)), self_(self) {}

  std::unique_ptr<platform::service_status_reporter> register_control_handler(
      const char* service_name, platform::control_handler handler) override {
    if (service_name == nullptr || !handler) return nullptr;
    {
      const std::lock_guard<std::mutex> hold(lock_);
      handler_ = std::move(handler);
    }
    return std::make_unique<sim_reporter>(dir_, self_);
  }

  /// On the dispatcher thread. Controls that arrive before a handler exists are dropped.
  void deliver(std::uint32_t code) {
    platform::control_handler handler;
    {
      const std::lock_guard<std::mutex> hold(lock_);
      handler = handler_;
    }
    if (handler) handler(code);
  }

 private:
  std::filesystem::path dir_;
  process_identity self_;
  std::mutex lock_;
  platform::control_handler handler_;
};

// Tells the controller that its control has been handled. A controller that
// has gone (its FIFO has no reader, or is gone itself) is not waited for.
void acknowledge(const std::filesystem::path& dir, const control_message& message) {
  unique_fd ack(::open(control_ack_path(dir, message.pid, message.serial).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!ack.valid()) return;
  const char done = 'a';
  while (::write(ack.get(), &done, 1) < 0 && errno == EINTR) {
  }
}

// Reads whole control messages from the FIFO, delivers each and acknowledges
// it once the handler has returned; `pending` keeps a partial message between
// reads.
void read_controls(int fifo, const std::filesystem::path& dir, sim_session& session, std::string& pending) {
  char buffer[control_message_size * 8];
  for (;;) {
    const ssize_t n = ::read(fifo, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    pending.append(buffer, static_cast<std::size_t>(n));
    while (pending.size() >= control_message_size) {
      control_message message;
      std::memcpy(&message.code, pending.data(), 4);
      std::memcpy(&message.pid, pending.data() + 4, 4);
      std::memcpy(&message.serial, pending.data() + 8, 4);
      pending.erase(0, control_message_size);
      session.deliver(message.code);
      acknowledge(dir, message);
    }
  }
}

}  // namespace

std::uint32_t run_service_dispatcher(const char* service_name,
                                     const std::function<void(platform::service_session&)>& service_main) {
  const char* dir_text = std::getenv(service_control_variable);
  if (service_name == nullptr || dir_text == nullptr || *dir_text == '\0') {
    return win::error_failed_service_controller_connect;
  }
  const std::filesystem::path dir = dir_text;
  service_record record;
  process_identity self;
  if (!read_service_record(dir, record) || !read_process_identity(::getpid(), self) || record.process.pid != self.pid ||
      record.process.start_time != self.start_time || record.status.current_state != win::service_start_pending) {
    return win::error_failed_service_controller_connect;
  }
  // Read and write, so that the FIFO never reports end of file while no
  // controller has it open.
  unique_fd fifo(::open((dir / "control").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!fifo.valid()) return win::error_failed_service_controller_connect;
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) return win::error_not_enough_memory;
  unique_fd wake_read(wake[0]);
  unique_fd wake_write(wake[1]);

  sim_session session(dir, self);
  std::thread service;
  try {
    service = std::thread([&] {
      service_main(session);
      const char done = 'd';
      while (::write(wake_write.get(), &done, 1) < 0 && errno == EINTR) {
      }
    });
  } catch (const std::system_error&) {
    return win::error_not_enough_memory;
  }
  std::string pending;
  for (;;) {
    pollfd fds[2] = {{fifo.get(), POLLIN, 0}, {wake_read.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) break;
    if ((fds[0].revents & POLLIN) != 0) read_controls(fifo.get(), dir, session, pending);
  }
  service.join();
  return win::error_success;
}

}  // namespace kvx::sim
