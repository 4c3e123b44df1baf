#include "tests/logd/faults/fault_rig.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/sim/event_log_file.h"
#include "tests/support/file_bytes.h"

namespace kvx::test {
namespace {

constexpr const char* entry_head = "---- KVXWDD LOG #";
constexpr const char* ungettable_block = "DETAIL DATA WAS UNGETTABLE.\r\nGET LAST ERROR = ";
// The block ahead of an entry without detail data: its two lines, four hex
// digits and an empty line.
constexpr std::size_t ungettable_block_size = 29 + 17 + 4 + 4;

bool is_root() { return ::geteuid() == 0; }

}  // namespace

log_header read_log_header(const std::string& file) {
  log_header h;
  if (file.size() < 16 || file.compare(14, 2, "\r\n") != 0 || file[4] != ' ') return h;
  char* end = nullptr;
  const std::string count = file.substr(0, 4);
  const std::string offset = file.substr(5, 9);
  h.count = static_cast<int>(std::strtol(count.c_str(), &end, 10));
  if (*end != '\0') return h;
  h.offset = static_cast<int>(std::strtol(offset.c_str(), &end, 10));
  if (*end != '\0') return h;
  h.valid = h.count >= 0 && h.offset >= 16;
  return h;
}

std::vector<std::size_t> entry_starts(const std::string& file, std::size_t from, std::size_t to) {
  std::vector<std::size_t> starts;
  for (std::size_t at = file.find(entry_head, from); at != std::string::npos && at < to;
       at = file.find(entry_head, at + 1)) {
    const std::size_t block = at >= ungettable_block_size ? at - ungettable_block_size : std::string::npos;
    const bool after_block = block != std::string::npos && block >= from &&
                             file.compare(block, std::string(ungettable_block).size(), ungettable_block) == 0;
    starts.push_back(after_block ? block : at);
  }
  return starts;
}

std::vector<std::uint32_t> entry_numbers(const std::string& file, std::size_t from, std::size_t to) {
  std::vector<std::uint32_t> numbers;
  const std::size_t head = std::string(entry_head).size();
  for (std::size_t at = file.find(entry_head, from); at != std::string::npos && at < to;
       at = file.find(entry_head, at + 1)) {
    if (at + head < file.size() && file[at + head] == '-') continue;
    numbers.push_back(static_cast<std::uint32_t>(std::strtoul(file.c_str() + at + head, nullptr, 10)));
  }
  return numbers;
}

void FaultRun::SetUp() {
  const std::filesystem::path script =
      std::filesystem::path(KVX_TEST_DATA_DIR) / ".." / ".." / "scripts" / "sim-install";
  const command_result installed = run_command({"/bin/bash", script.string(), "--host-root", host_.root().string()});
  ASSERT_EQ(installed.status, 0) << installed.err;
  std::ofstream(host_.root() / "adapters.ini") << adapters_ini_;
  start_simulator();
  const command_result registered = run_command({built_program("logd/host/hbalogd_tested").string(), "/RegServer"});
  ASSERT_EQ(registered.status, 0) << registered.out << registered.err;
}

void FaultRun::TearDown() {
  if (service_) (void)stop_service();
  if (simulator_ && simulator_->running()) {
    (void)kvxsim({"stop"});
    if (simulator_->wait(std::chrono::seconds(10)) == -1) kill_simulator();
  }
}

void FaultRun::start_simulator() {
  simulator_ = std::make_unique<background_process>(
      std::vector<std::string>{built_program("simulator/kvxsim").string(), "run", "--config",
                               (host_.root() / "adapters.ini").string()},
      host_.root() / "kvxsim.out");
  ASSERT_TRUE(simulator_->started());
  const command_result waited = kvxsim({"wait"});
  ASSERT_EQ(waited.status, 0) << waited.err;
}

void FaultRun::kill_simulator() {
  simulator_->signal(SIGKILL);
  EXPECT_EQ(simulator_->wait(std::chrono::seconds(10)), 128 + SIGKILL);
}

void FaultRun::start_service(bool without_file_override, int retry_cycle_ms, const std::string& kill_at) {
  std::vector<std::string> argv;
  if (without_file_override && is_root()) {
    // Root writes a read-only file unless it lacks these capabilities.
    argv = {"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner", "--"};
  }
  argv.push_back(built_program("logd/host/hbalogd_tested").string());
  const long before = exchanges();
  std::vector<std::string> env{"KVX_TEST_RETRY_CYCLE_MS=" + std::to_string(retry_cycle_ms)};
  if (!kill_at.empty()) env.push_back("KVX_TEST_KILL_AT=" + kill_at);
  service_ = std::make_unique<background_process>(argv, host_.root() / "hbalogd.out", env);
  ASSERT_TRUE(service_->started());
  // The table build asks for the PCI location, the startup scan for ERRLOG;
  // the starting record was taken before either.
  ASSERT_TRUE(eventually([&] { return exchanges() >= before + 2 || !service_->running(); }, std::chrono::seconds(20)))
      << service_output();
  if (kill_at.empty()) {
    ASSERT_TRUE(service_->running()) << service_output();
  }
}

void FaultRun::kill_service() {
  service_->signal(SIGKILL);
  EXPECT_EQ(service_->wait(std::chrono::seconds(10)), 128 + SIGKILL);
}

int FaultRun::stop_service() {
  service_->signal(SIGTERM);
  const int status = service_->wait(std::chrono::seconds(10));
  service_.reset();
  return status;
}

command_result FaultRun::kvxsim(const std::vector<std::string>& args) { return run_built("simulator/kvxsim", args); }

command_result FaultRun::simhost(const std::vector<std::string>& args) { return run_built("simhost/simhost", args); }

std::int64_t FaultRun::inject(int error, int slot) {
  const command_result r =
      kvxsim({"inject", "--port", "2", "--error", std::to_string(error), "--slot", std::to_string(slot)});
  const std::size_t at = r.out.find("System record ");
  if (r.status != 0 || at == std::string::npos) return -1;
  return std::strtoll(r.out.c_str() + at + 14, nullptr, 10);
}

long FaultRun::exchanges() {
  const std::string out = kvxsim({"status"}).out;
  const std::size_t at = out.find("exchanges: ");
  return at == std::string::npos ? 0 : std::strtol(out.c_str() + at + 11, nullptr, 10);
}

std::filesystem::path FaultRun::log_dir() const {
  return host_.root() / "drive_c" / "Program Files" / "velmora" / "drivers" / "hba" / "hbalogd" / "log";
}

std::string FaultRun::log_text() const { return log_text_of(0x0208); }

std::string FaultRun::log_text_of(std::uint16_t location) const {
  char name[16];
  std::snprintf(name, sizeof name, "kvx%04x.log", static_cast<unsigned>(location));
  return file_text(log_dir() / name);
}

bool FaultRun::wait_for_entry(std::uint32_t number) {
  return eventually(
      [&] {
        const std::string file = log_text();
        const log_header h = read_log_header(file);
        if (!h.valid) return false;
        for (std::uint32_t n : entry_numbers(file, 0, static_cast<std::size_t>(h.offset))) {
          // The header counts the entry before its slot goes back.
          if (n == number) return kvxsim({"status"}).out.find("occupied slots: none") != std::string::npos;
        }
        return false;
      },
      std::chrono::seconds(30));
}

std::vector<std::string> FaultRun::service_reports() {
  std::vector<sim::event_record> records;
  std::vector<std::string> texts;
  if (sim::read_event_log("Application", records) != 0) return texts;
  for (const sim::event_record& r : records) {
    if (!r.strings.empty()) texts.push_back(r.strings[0]);
  }
  return texts;
}

int FaultRun::reports_of(const std::string& text) {
  int n = 0;
  for (const std::string& t : service_reports()) n += t == text ? 1 : 0;
  return n;
}

std::string FaultRun::service_output() const { return file_text(host_.root() / "hbalogd.out"); }

}  // namespace kvx::test
