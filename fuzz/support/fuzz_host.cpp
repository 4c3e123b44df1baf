#include "fuzz/support/fuzz_host.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include "platform/win_codes.h"

namespace kvx::fuzz {
namespace {

class quiet_source final : public platform::event_source {
 public:
  explicit quiet_source(int& reports) : reports_(reports) {}
  bool report(std::uint16_t, std::uint16_t, std::uint32_t, const std::vector<std::string>&,
              std::span<const std::uint8_t>) override {
    ++reports_;
    return true;
  }

 private:
  int& reports_;
};

class scripted_device final : public platform::port_device {
 public:
  explicit scripted_device(scripted_ports& ports) : ports_(ports) {}

  std::uint32_t io_control(std::uint32_t, std::uint8_t* buffer, std::uint32_t size, std::uint32_t& returned) override {
    const scripted_ports::answer a = ports_.take();
    const std::size_t n = std::min<std::size_t>(a.bytes.size(), size);
    if (n != 0) std::memcpy(buffer, a.bytes.data(), n);
    returned = a.returned;
    return a.error;
  }

 private:
  scripted_ports& ports_;
};

}  // namespace

const std::filesystem::path& temp_host_root() {
  // Never destroyed: the exit handler that removes the directory runs after
  // the static destructors and still needs its name.
  static const std::filesystem::path* const root = [] {
    std::string templ = (std::filesystem::temp_directory_path() / "kvx-fuzz-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    ::setenv("KVX_HOST_ROOT", templ.c_str(), 1);
    const auto* made = new std::filesystem::path(templ);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(temp_host_root(), ec);
    });
    return made;
  }();
  return *root;
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::unique_ptr<platform::event_log_reader> quiet_event_logs::open_log(const char* log_name) {
  return readers_ != nullptr ? readers_->open_log(log_name) : nullptr;
}

std::unique_ptr<platform::event_source> quiet_event_logs::register_source(const char*) {
  return std::make_unique<quiet_source>(reports_);
}

std::uint32_t scripted_ports::open(const char*, platform::share_mode, std::unique_ptr<platform::port_device>& out) {
  if (refuse_open != 0) return refuse_open;
  out = std::make_unique<scripted_device>(*this);
  return win::error_success;
}

bool scripted_ports::query_dos_device(const char*, std::string&, std::uint32_t& error) {
  error = win::error_file_not_found;
  return false;
}

scripted_ports::answer scripted_ports::take() {
  if (next >= script.size()) return {};
  return script[next++];
}

scripted_ports::answer fuzzed_answer(FuzzedDataProvider& in, std::size_t max_bytes) {
  scripted_ports::answer a;
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
    case 1:
      a.error = win::error_success;
      break;
    case 2:
      a.error = win::error_busy;
      break;
    case 3:
      a.error = win::error_gen_failure;
      break;
    case 4:
      a.error = win::error_invalid_parameter;
      break;
    default:
      a.error = in.ConsumeIntegral<std::uint32_t>();
      break;
  }
  a.returned = in.ConsumeIntegral<std::uint32_t>();
  a.bytes = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, max_bytes));
  return a;
}

}  // namespace kvx::fuzz
