#include "simulator/server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <list>

#include "adapter/byte_order.h"
#include "platform/registry.h"
#include "platform/sim/host_root.h"
#include "platform/sim/port_protocol.h"
#include "platform/win_codes.h"
#include "simulator/control.h"
#include "simulator/driver.h"

namespace kvx::simulator {
namespace {

using sim::frame_kind;
using sim::unique_fd;

constexpr std::size_t read_chunk = 65536;
constexpr std::size_t hello_size = 8;

std::string port_map_key(int port) { return "HARDWARE\\DEVICEMAP\\SCSI\\SCSI PORT " + std::to_string(port); }
std::string device_name(int port) { return "scsi" + std::to_string(port); }

enum class handle_mode { none, shared, exclusive };

/// One accepted connection: an open handle of a port device (adapter >= 0)
/// or a control client (adapter -1).
struct connection {
  unique_fd fd;
  int adapter = -1;
  handle_mode mode = handle_mode::none;
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;
  bool dead = false;
};

bool valid_hello(std::span<const std::uint8_t> payload) {
  return payload.size() >= hello_size && adapter::get_u32_le(payload, 0) == sim::port_protocol_magic &&
         adapter::get_u32_le(payload, 4) == sim::port_protocol_version;
}

}  // namespace

class server::impl {
 public:
  impl(std::vector<adapter_config> adapters, server_options options) : options_(options) {
    for (adapter_config& c : adapters) {
      adapters_.emplace_back();
      adapters_.back().config = std::move(c);
      adapters_.back().plugged = false;
    }
    listeners_.resize(adapters_.size());
  }
  ~impl() { cleanup(); }

  int start(std::string& error);
  void run();
  void stop() {
    stop_requested_.store(true);
    const std::uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = wake_ ? ::write(wake_.get(), &one, sizeof one) : 0;
  }

 private:
  struct poll_target {
    enum kind_t { wake, signals, control_listener, device_listener, client } kind;
    int adapter = -1;
    connection* conn = nullptr;
  };

  int plug(int index, std::string& error);
  void unplug(int index);
  int register_ports(std::string& error);
  void cleanup();

  void accept_all(int listener, int adapter);
  void read_from(connection& c);
  void handle_device_frame(connection& c, frame_kind kind, std::span<const std::uint8_t> payload);
  void handle_control_frame(connection& c, frame_kind kind, std::span<const std::uint8_t> payload);
  control_reply execute(const control_command& command);
  void queue_reply(connection& c, std::uint32_t error, std::uint32_t returned, std::span<const std::uint8_t> bytes);
  void flush(connection& c);
  void drop(connection& c);
  int index_of_port(int port) const;
  void count_handles(int index, int& shared, int& exclusive) const;

  server_options options_;
  std::vector<adapter_state> adapters_;
  std::vector<unique_fd> listeners_;  ///< per adapter; empty while unplugged
  std::list<connection> connections_;
  unique_fd control_listener_;
  unique_fd wake_;
  unique_fd signals_;
  std::vector<std::filesystem::path> created_sockets_;
  std::vector<int> registered_ports_;
  std::atomic<bool> stop_requested_{false};
};

int server::impl::start(std::string& error) {
  const std::filesystem::path control_path = sim::device_socket_path(sim::control_socket_name);
  unique_fd probe;
  if (sim::connect_socket(control_path, probe) == 0) {
    error = "a simulator is already serving the host root " + sim::host_root().string();
    return 1;
  }
  wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wake_) {
    error = "cannot create the wake-up event";
    return 1;
  }
  if (options_.handle_signals) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    signals_.reset(::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  }
  for (std::size_t i = 0; i < adapters_.size(); ++i) {
    if (plug(static_cast<int>(i), error) != 0) {
      cleanup();
      return 1;
    }
  }
  if (const int rc = sim::listen_socket(control_path, control_listener_); rc != 0) {
    error = "cannot listen at " + control_path.string() + ": " + std::strerror(rc);
    cleanup();
    return 1;
  }
  created_sockets_.push_back(control_path);
  if (register_ports(error) != 0) {
    cleanup();
    return 1;
  }
  return 0;
}

int server::impl::plug(int index, std::string& error) {
  adapter_state& a = adapters_[static_cast<std::size_t>(index)];
  if (a.plugged) return 0;
  const std::filesystem::path path = sim::device_socket_path(device_name(a.config.port));
  unique_fd probe;
  if (sim::connect_socket(path, probe) == 0) {
    error = "the device of port " + std::to_string(a.config.port) + " is already served by another process";
    return 1;
  }
  if (const int rc = sim::listen_socket(path, listeners_[static_cast<std::size_t>(index)]); rc != 0) {
    error = "cannot listen at " + path.string() + ": " + std::strerror(rc);
    return 1;
  }
  created_sockets_.push_back(path);
  a.plugged = true;
  return 0;
}

void server::impl::unplug(int index) {
  adapter_state& a = adapters_[static_cast<std::size_t>(index)];
  if (!a.plugged) return;
  listeners_[static_cast<std::size_t>(index)].reset();
  ::unlink(sim::device_socket_path(device_name(a.config.port)).c_str());
  // Open handles lose their device: their next request fails.
  for (connection& c : connections_) {
    if (c.adapter == index) drop(c);
  }
  a.plugged = false;
}

int server::impl::register_ports(std::string& error) {
  for (const adapter_state& a : adapters_) {
    platform::unique_reg_key key;
    const std::string path = port_map_key(a.config.port);
    std::string driver = a.config.driver;
    driver.push_back('\0');
    if (platform::host_registry().create_key(platform::hive_root::local_machine, path.c_str(),
                                             win::key_query_value | win::key_set_value, key,
                                             nullptr) != win::error_success ||
        key->set_value("Driver", win::reg_sz, reinterpret_cast<const std::uint8_t*>(driver.data()),
                       static_cast<std::uint32_t>(driver.size())) != win::error_success) {
      error = "cannot write HKEY_LOCAL_MACHINE\\" + path + " in the registry";
      return 1;
    }
    registered_ports_.push_back(a.config.port);
  }
  return 0;
}

void server::impl::cleanup() {
  connections_.clear();
  for (unique_fd& l : listeners_) l.reset();
  control_listener_.reset();
  for (const std::filesystem::path& p : created_sockets_) ::unlink(p.c_str());
  created_sockets_.clear();
  for (int port : registered_ports_) {
    const std::string path = port_map_key(port);
    platform::unique_reg_key key;
    if (platform::host_registry().open_key(platform::hive_root::local_machine, path.c_str(), win::key_set_value, key) ==
        win::error_success) {
      (void)key->delete_value("Driver");
      key.reset();
      (void)platform::host_registry().delete_key(platform::hive_root::local_machine, path.c_str());
    }
  }
  registered_ports_.clear();
  for (adapter_state& a : adapters_) a.plugged = false;
}

void server::impl::run() {
  std::vector<pollfd> fds;
  std::vector<poll_target> targets;
  while (!stop_requested_.load()) {
    fds.clear();
    targets.clear();
    auto add = [&](int fd, short events, poll_target t) {
      fds.push_back(pollfd{fd, events, 0});
      targets.push_back(t);
    };
    add(wake_.get(), POLLIN, {poll_target::wake});
    if (signals_) add(signals_.get(), POLLIN, {poll_target::signals});
    add(control_listener_.get(), POLLIN, {poll_target::control_listener});
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
      if (listeners_[i]) add(listeners_[i].get(), POLLIN, {poll_target::device_listener, static_cast<int>(i)});
    }
    for (connection& c : connections_) {
      const short events = static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT));
      add(c.fd.get(), events, {poll_target::client, c.adapter, &c});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < fds.size() && !stop_requested_.load(); ++i) {
      if (fds[i].revents == 0) continue;
      const poll_target& t = targets[i];
      switch (t.kind) {
        case poll_target::wake:
        case poll_target::signals:
          stop_requested_.store(true);
          break;
        case poll_target::control_listener:
          accept_all(control_listener_.get(), -1);
          break;
        case poll_target::device_listener:
          // The adapter may have been unplugged by a request handled just before.
          if (listeners_[static_cast<std::size_t>(t.adapter)]) {
            accept_all(listeners_[static_cast<std::size_t>(t.adapter)].get(), t.adapter);
          }
          break;
        case poll_target::client:
          if (t.conn->dead) break;
          if ((fds[i].revents & POLLOUT) != 0) flush(*t.conn);
          if (!t.conn->dead && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) read_from(*t.conn);
          break;
      }
    }
    connections_.remove_if([](const connection& c) { return c.dead; });
  }
  // Whoever asked for the stop gets its answer before the sockets go.
  for (connection& c : connections_) {
    if (c.dead || c.out.empty()) continue;
    const int flags = ::fcntl(c.fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(c.fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    (void)sim::send_all(c.fd.get(), c.out);
  }
  connections_.clear();
}

void server::impl::accept_all(int listener, int adapter) {
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: none left; anything else: the client gave up
    }
    connections_.emplace_back();
    connections_.back().fd.reset(fd);
    connections_.back().adapter = adapter;
  }
}

void server::impl::read_from(connection& c) {
  bool ended = false;
  std::uint8_t chunk[read_chunk];
  for (;;) {
    const ssize_t n = ::recv(c.fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      c.in.insert(c.in.end(), chunk, chunk + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    break;
  }
  // Frames that came before the end of the stream are still answered.
  std::size_t at = 0;
  while (!c.dead) {
    frame_kind kind = frame_kind::reply;
    std::span<const std::uint8_t> payload;
    std::size_t consumed = 0;
    const int found = sim::decode_frame(std::span<const std::uint8_t>(c.in).subspan(at), kind, payload, consumed);
    if (found < 0) {
      drop(c);
      return;
    }
    if (found == 0) break;
    if (c.adapter >= 0) {
      handle_device_frame(c, kind, payload);
    } else {
      handle_control_frame(c, kind, payload);
    }
    at += consumed;
  }
  if (c.dead) return;
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
  if (ended) {
    drop(c);
    return;
  }
  flush(c);
}

void server::impl::handle_device_frame(connection& c, frame_kind kind, std::span<const std::uint8_t> payload) {
  adapter_state& a = adapters_[static_cast<std::size_t>(c.adapter)];
  switch (kind) {
    case frame_kind::open: {
      if (!valid_hello(payload) || payload.size() < hello_size + 4 || c.mode != handle_mode::none) {
        drop(c);
        return;
      }
      const std::uint32_t word = adapter::get_u32_le(payload, hello_size);
      if (word > 1) {
        queue_reply(c, win::error_invalid_parameter, 0, {});
        return;
      }
      // Windows share semantics: an exclusive open needs the device to itself,
      // and a shared open fails while an exclusive handle is open.
      int shared = 0;
      int exclusive = 0;
      count_handles(c.adapter, shared, exclusive);
      const bool wants_exclusive = word == 1;
      if (exclusive > 0 || (wants_exclusive && shared > 0)) {
        queue_reply(c, win::error_sharing_violation, 0, {});
        return;
      }
      c.mode = wants_exclusive ? handle_mode::exclusive : handle_mode::shared;
      queue_reply(c, win::error_success, 0, {});
      return;
    }
    case frame_kind::query: {
      if (!valid_hello(payload)) {
        drop(c);
        return;
      }
      const std::string& name = a.config.device_object;
      queue_reply(c, win::error_success, static_cast<std::uint32_t>(name.size()),
                  std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
      return;
    }
    case frame_kind::io_control: {
      if (c.mode == handle_mode::none || payload.size() < 4) {
        queue_reply(c, win::error_invalid_handle, 0, {});
        return;
      }
      std::vector<std::uint8_t> buffer(payload.begin() + 4, payload.end());
      const answer reply = answer_packet(a, adapter::get_u32_le(payload, 0), buffer);
      if (reply.error == win::error_success) {
        queue_reply(c, reply.error, reply.returned, buffer);
      } else {
        queue_reply(c, reply.error, reply.returned, {});
      }
      return;
    }
    case frame_kind::close:
      c.mode = handle_mode::none;
      queue_reply(c, win::error_success, 0, {});
      return;
    default:
      drop(c);
      return;
  }
}

void server::impl::handle_control_frame(connection& c, frame_kind kind, std::span<const std::uint8_t> payload) {
  std::vector<std::string> words;
  if (kind != frame_kind::control || !decode_words(payload, words)) {
    drop(c);
    return;
  }
  control_command command;
  std::string error;
  control_reply reply;
  if (parse_control(words, command, error) != 0) {
    reply = {2, {}, "kvxsim: " + error + "\n"};
  } else {
    reply = execute(command);
  }
  std::string text = reply.out + reply.err;
  queue_reply(c, static_cast<std::uint32_t>(reply.status), static_cast<std::uint32_t>(reply.out.size()),
              std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

control_reply server::impl::execute(const control_command& command) {
  if (command.verb == control_verb::status) {
    control_reply reply;
    for (std::size_t i = 0; i < adapters_.size(); ++i) {
      int shared = 0;
      int exclusive = 0;
      count_handles(static_cast<int>(i), shared, exclusive);
      reply.out += status_line(adapters_[i], shared, exclusive);
    }
    return reply;
  }
  if (command.verb == control_verb::stop) {
    stop_requested_.store(true);
    return {};
  }
  const int index = index_of_port(command.port);
  if (index < 0) return {1, {}, "kvxsim: no adapter is configured on port " + std::to_string(command.port) + "\n"};
  adapter_state& a = adapters_[static_cast<std::size_t>(index)];
  switch (command.verb) {
    case control_verb::inject:
      return inject_error(a, command);
    case control_verb::fill:
      return fill_detail_slot(a, command);
    case control_verb::busy:
      a.busy_left = command.count;
      return {};
    case control_verb::released:
      return {0, released_lines(a), {}};
    case control_verb::unplug:
      unplug(index);
      return {};
    case control_verb::plug: {
      std::string error;
      if (plug(index, error) != 0) return {1, {}, "kvxsim: " + error + "\n"};
      return {};
    }
    default:
      return {2, {}, "kvxsim: not a request for a running simulator\n"};
  }
}

void server::impl::queue_reply(connection& c, std::uint32_t error, std::uint32_t returned,
                               std::span<const std::uint8_t> bytes) {
  const std::vector<std::uint8_t> frame = sim::encode_reply(error, returned, bytes);
  c.out.insert(c.out.end(), frame.begin(), frame.end());
}

void server::impl::flush(connection& c) {
  std::size_t sent = 0;
  while (sent < c.out.size()) {
    const ssize_t n = ::send(c.fd.get(), c.out.data() + sent, c.out.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    drop(c);
    return;
  }
  c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(sent));
}

void server::impl::drop(connection& c) {
  c.dead = true;
  c.mode = handle_mode::none;
  c.fd.reset();
  c.in.clear();
  c.out.clear();
}

int server::impl::index_of_port(int port) const {
  for (std::size_t i = 0; i < adapters_.size(); ++i) {
    if (adapters_[i].config.port == port) return static_cast<int>(i);
  }
  return -1;
}

void server::impl::count_handles(int index, int& shared, int& exclusive) const {
  shared = 0;
  exclusive = 0;
  for (const connection& c : connections_) {
    if (c.dead || c.adapter != index) continue;
    if (c.mode == handle_mode::shared) ++shared;
    if (c.mode == handle_mode::exclusive) ++exclusive;
  }
}

server::server(std::vector<adapter_config> adapters, server_options options)
    : impl_(std::make_unique<impl>(std::move(adapters), options)) {}
server::~server() = default;
int server::start(std::string& error) { return impl_->start(error); }
void server::run() { impl_->run(); }
void server::stop() { impl_->stop(); }

}  // namespace kvx::simulator
