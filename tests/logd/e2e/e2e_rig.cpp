#include "tests/logd/e2e/e2e_rig.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "tests/support/file_bytes.h"

namespace kvx::test {

run_options merged_output() {
  run_options options;
  options.merge_err = true;
  return options;
}

int occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

void CaptureEndToEnd::start_simulator(const std::string& config) {
  const std::filesystem::path script =
      std::filesystem::path(KVX_TEST_DATA_DIR) / ".." / ".." / "scripts" / "sim-install";
  const command_result installed = run_command({"/bin/bash", script.string()});
  ASSERT_EQ(installed.status, 0) << installed.err;
  const auto file = host_.root() / "adapters.ini";
  std::ofstream(file) << config;
  simulator_ = std::make_unique<background_process>(
      std::vector<std::string>{built_program("simulator/kvxsim").string(), "run", "--config", file.string()},
      host_.root() / "kvxsim.out");
  const command_result waited = run_built("simulator/kvxsim", {"wait"}, merged_output());
  ASSERT_EQ(waited.status, 0) << waited.out << file_text(host_.root() / "kvxsim.out");
}

void CaptureEndToEnd::start_service(int retry_cycle_ms) {
  const command_result reg = run_built("logd/host/hbalogd_tested", {"/RegServer"}, merged_output());
  ASSERT_EQ(reg.status, 0) << reg.out;
  service_ = std::make_unique<background_process>(
      std::vector<std::string>{built_program("logd/host/hbalogd_tested").string()}, host_.root() / "hbalogd.out",
      std::vector<std::string>{"KVX_TEST_RETRY_CYCLE_MS=" + std::to_string(retry_cycle_ms)});
  // The watch has taken its starting record once the startup scan has asked
  // every adapter for its detail data: its PCI location, then ERRLOG.
  ASSERT_TRUE(eventually(
      [&] {
        const std::string status = run_built("simulator/kvxsim", {"status"}, merged_output()).out;
        int ports = 0;
        int ready = 0;
        for (std::size_t at = status.find("exchanges: "); at != std::string::npos;
             at = status.find("exchanges: ", at + 1)) {
          ++ports;
          if (std::atoi(status.c_str() + at + 11) >= 2) ++ready;
        }
        return ports > 0 && ready == ports;
      },
      std::chrono::seconds(20)))
      << service_output();
}

void CaptureEndToEnd::TearDown() {
  if (service_) service_->stop();
  if (simulator_) {
    (void)run_built("simulator/kvxsim", {"stop"}, merged_output());
    (void)eventually([&] { return !simulator_->running(); }, std::chrono::seconds(10));
    simulator_->stop();
  }
}

std::string CaptureEndToEnd::kvxsim(const std::vector<std::string>& args) {
  const command_result r = run_built("simulator/kvxsim", args, merged_output());
  EXPECT_EQ(r.status, 0) << r.out;
  return r.out;
}

int CaptureEndToEnd::inject(const std::vector<std::string>& args) {
  std::vector<std::string> words{"inject"};
  words.insert(words.end(), args.begin(), args.end());
  const std::string out = kvxsim(words);
  const std::size_t at = out.find("System record ");
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 14);
}

std::string CaptureEndToEnd::log_of(std::uint16_t location) {
  char name[16];
  std::snprintf(name, sizeof name, "kvx%04x.log", static_cast<unsigned>(location));
  return file_text(host_.root() / "drive_c" / "Program Files" / "velmora" / "drivers" / "hba" / "hbalogd" / "log" /
                   name);
}

bool CaptureEndToEnd::wait_for_log(std::uint16_t location, const std::string& text) {
  return eventually([&] { return log_of(location).find(text) != std::string::npos; }, std::chrono::seconds(30));
}

std::string CaptureEndToEnd::application_log() {
  return run_built("simhost/simhost", {"eventlog", "show", "Application"}, merged_output()).out;
}

std::string CaptureEndToEnd::service_output() { return file_text(host_.root() / "hbalogd.out"); }

}  // namespace kvx::test
