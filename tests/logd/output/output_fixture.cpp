#include "tests/logd/output/output_fixture.h"

#include <cstdlib>

#include "tests/support/process.h"

namespace kvx::test {

bool run_sim_install(bool with_log_dir) {
  const std::filesystem::path script =
      std::filesystem::path(KVX_TEST_DATA_DIR) / ".." / ".." / "scripts" / "sim-install";
  std::vector<std::string> argv{"/bin/bash", script.string()};
  if (!with_log_dir) argv.push_back("--no-log-dir");
  return run_command(argv).status == 0;
}

logd::event_record make_driver_record(std::uint32_t number, std::uint32_t time_generated,
                                      const std::vector<std::uint8_t>& data) {
  record_fields fields;
  fields.event_id = 0xC0070004u;
  fields.time_generated = time_generated;
  fields.event_type = 0;
  fields.computer = "SIMHOST";
  return driver_record_bytes(number, data, fields);
}

std::vector<std::uint8_t> driver_data(std::uint32_t key, std::uint32_t status, std::size_t size) {
  return driver_data_bytes(status, key, size, data_fill::counting);
}

adapter::detail_reply make_reply(const std::vector<std::pair<int, std::vector<std::uint8_t>>>& slots) {
  adapter::detail_reply reply(adapter::detail_reply_size, 0);
  for (const auto& [slot, bytes] : slots) {
    reply[static_cast<std::size_t>(slot) / 8] |= static_cast<std::uint8_t>(0x80u >> (slot % 8));
    std::copy(bytes.begin(), bytes.end(), reply.begin() + 16 + slot * 1024);
  }
  return reply;
}

void output_test::SetUp() {
  logs_guard_ = std::make_unique<platform::scoped_event_logs>(reports_);
  ports_guard_ = std::make_unique<platform::scoped_ports>(driver_);
  logd::set_max_retry_count(3);
  logd::set_retry_frequency(0);
  logd::set_unique_id_position(40);
  logd::set_dump_data_size(104);
  logd::set_error_log_size(1024);
  logd::set_max_error_log_count(16);
  logd::set_max_record_count(4096);
  logd::set_retry_cycle_ms(60000);
  logd::set_error_log_file_path(std::string("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log"));
  logd::set_error_log_list_path(std::string("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd"));
  ASSERT_TRUE(run_sim_install());
}

void output_test::TearDown() {
  logd::set_errorlist_name_count(0);
  logd::set_errorlist_level_count(0);
}

logd::interface_entry* output_test::add_adapter(int port, std::uint32_t location) {
  driver_.add_adapter(port, location);
  return link_entry_at_tail(port_device(port), location);
}

std::filesystem::path output_test::list_dir() const { return list_folder(); }

std::filesystem::path output_test::log_dir() const { return list_dir() / "log"; }

std::filesystem::path output_test::log_file(std::uint16_t location) const {
  char name[16];
  std::snprintf(name, sizeof name, "kvx%04x.log", static_cast<unsigned>(location));
  return log_dir() / name;
}

}  // namespace kvx::test
