#include "tests/fakes/adapter_scripted_ports.h"

#include "platform/win_codes.h"

namespace kvx::test {
namespace {

class scripted_device final : public platform::port_device {
 public:
  scripted_device(scripted_ports& owner, std::string path) : owner_(owner), path_(std::move(path)) {}
  ~scripted_device() override { owner_.closed(); }

  std::uint32_t io_control(std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                           std::uint32_t& returned) override {
    return owner_.exchange(path_, code, std::span<std::uint8_t>(buffer, size), returned);
  }

 private:
  scripted_ports& owner_;
  std::string path_;
};

}  // namespace

void scripted_ports::set_open_error(std::uint32_t error) {
  std::lock_guard<std::mutex> guard(lock_);
  open_error_ = error;
}

void scripted_ports::queue_errors(std::vector<std::uint32_t> errors) {
  std::lock_guard<std::mutex> guard(lock_);
  errors_.insert(errors_.end(), errors.begin(), errors.end());
}

void scripted_ports::set_failure_returned(std::uint32_t returned) {
  std::lock_guard<std::mutex> guard(lock_);
  failure_returned_ = returned;
}

void scripted_ports::set_reply(std::function<void(std::span<std::uint8_t>)> reply) {
  std::lock_guard<std::mutex> guard(lock_);
  reply_ = std::move(reply);
}

void scripted_ports::set_dos_target(std::string target) {
  std::lock_guard<std::mutex> guard(lock_);
  dos_target_ = std::move(target);
}

int scripted_ports::opens() {
  std::lock_guard<std::mutex> guard(lock_);
  return opens_;
}

int scripted_ports::closes() {
  std::lock_guard<std::mutex> guard(lock_);
  return closes_;
}

int scripted_ports::exchanges() {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(sent_.size());
}

std::vector<platform::share_mode> scripted_ports::modes() {
  std::lock_guard<std::mutex> guard(lock_);
  return modes_;
}

void scripted_ports::queue_open_errors(std::vector<std::uint32_t> errors) {
  std::lock_guard<std::mutex> guard(lock_);
  open_errors_.insert(open_errors_.end(), errors.begin(), errors.end());
}

std::vector<scripted_ports::sent_packet> scripted_ports::sent() {
  std::lock_guard<std::mutex> guard(lock_);
  return sent_;
}

std::uint32_t scripted_ports::open(const char* path, platform::share_mode mode,
                                   std::unique_ptr<platform::port_device>& out) {
  std::lock_guard<std::mutex> guard(lock_);
  ++opens_;
  modes_.push_back(mode);
  if (!open_errors_.empty()) {
    const std::uint32_t error = open_errors_.front();
    open_errors_.pop_front();
    return error;
  }
  if (open_error_ != win::error_success) return open_error_;
  out = std::make_unique<scripted_device>(*this, path);
  return win::error_success;
}

bool scripted_ports::query_dos_device(const char*, std::string& target, std::uint32_t& error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (dos_target_.empty()) {
    error = win::error_file_not_found;
    return false;
  }
  target = dos_target_;
  return true;
}

std::uint32_t scripted_ports::exchange(const std::string& path, std::uint32_t code, std::span<std::uint8_t> packet,
                                       std::uint32_t& returned) {
  std::lock_guard<std::mutex> guard(lock_);
  sent_.push_back({path, code, std::vector<std::uint8_t>(packet.begin(), packet.end())});
  if (!errors_.empty()) {
    const std::uint32_t error = errors_.front();
    errors_.pop_front();
    returned = failure_returned_;
    return error;
  }
  if (reply_) reply_(packet);
  returned = static_cast<std::uint32_t>(packet.size());
  return win::error_success;
}

void scripted_ports::closed() {
  std::lock_guard<std::mutex> guard(lock_);
  ++closes_;
}

}  // namespace kvx::test
