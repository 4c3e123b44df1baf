#include "tests/output/output_fixture.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "adapter/byte_order.h"

namespace kvx::test {

bool run_sim_install(bool with_log_dir) {
  const std::filesystem::path script =
      std::filesystem::path(KVX_TEST_DATA_DIR) / ".." / ".." / "scripts" / "sim-install";
  std::string command = "'" + script.string() + "' >/dev/null";
  if (!with_log_dir) command += " --no-log-dir";
  return std::system(command.c_str()) == 0;
}

logd::event_record make_driver_record(std::uint32_t number, std::uint32_t time_generated,
                                      const std::vector<std::uint8_t>& data) {
  const std::string source = "kvxwdd";
  const std::string computer = "SIMHOST";
  std::size_t data_offset = 56 + source.size() + 1 + computer.size() + 1;
  data_offset = (data_offset + 3) & ~std::size_t{3};
  logd::event_record record(data_offset + data.size() + 4, 0);
  const std::span<std::uint8_t> r(record);
  (void)adapter::put_u32_le(r, 0, static_cast<std::uint32_t>(record.size()));
  (void)adapter::put_u32_le(r, 4, 0x654c664c);  // "LfLe"
  (void)adapter::put_u32_le(r, 8, number);
  (void)adapter::put_u32_le(r, 12, time_generated);
  (void)adapter::put_u32_le(r, 16, time_generated);
  (void)adapter::put_u32_le(r, 20, 0xC0070004u);  // facility 7
  (void)adapter::put_u32_le(r, 48, static_cast<std::uint32_t>(data.size()));
  (void)adapter::put_u32_le(r, 52, static_cast<std::uint32_t>(data_offset));
  std::copy(source.begin(), source.end(), record.begin() + 56);
  std::copy(computer.begin(), computer.end(), record.begin() + 56 + static_cast<std::ptrdiff_t>(source.size()) + 1);
  std::copy(data.begin(), data.end(), record.begin() + static_cast<std::ptrdiff_t>(data_offset));
  (void)adapter::put_u32_le(r, record.size() - 4, static_cast<std::uint32_t>(record.size()));
  return record;
}

std::vector<std::uint8_t> driver_data(std::uint32_t key, std::uint32_t status, std::size_t size) {
  std::vector<std::uint8_t> data(std::max<std::size_t>(size, 44));
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  (void)adapter::put_u32_le(data, 16, status);
  (void)adapter::put_u32_be(data, 40, key);
  return data;
}

adapter::detail_reply make_reply(const std::vector<std::pair<int, std::vector<std::uint8_t>>>& slots) {
  adapter::detail_reply reply(adapter::detail_reply_size, 0);
  for (const auto& [slot, bytes] : slots) {
    reply[static_cast<std::size_t>(slot) / 8] |= static_cast<std::uint8_t>(0x80u >> (slot % 8));
    std::copy(bytes.begin(), bytes.end(), reply.begin() + 16 + slot * 1024);
  }
  return reply;
}

std::string read_bytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void output_test::SetUp() {
  logs_guard_ = std::make_unique<platform::scoped_event_logs>(reports_);
  ports_guard_ = std::make_unique<platform::scoped_ports>(driver_);
  logd::create_store_locks();
  logd::clear_capture_stop();
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
  logd::teardown_store();
  logd::set_errorlist_name_count(0);
  logd::set_errorlist_level_count(0);
  logd::destroy_store_locks();
  ports_guard_.reset();
  logs_guard_.reset();
}

logd::interface_entry* output_test::add_adapter(int port, std::uint32_t location) {
  driver_.add_adapter(port, location);
  auto made = std::make_unique<logd::interface_entry>();
  made->symbolic_link_name = "\\\\.\\scsi" + std::to_string(port);
  made->bus_dev_func = static_cast<std::int32_t>(location);
  logd::interface_entry* entry = logd::adopt_interface_entry(std::move(made));
  logd::interface_entry* last = logd::get_interface_table();
  if (last == nullptr) {
    logd::set_interface_table(entry);
  } else {
    while (logd::get_next(last) != nullptr) last = logd::get_next(last);
    logd::set_next(last, entry);
  }
  return entry;
}

std::filesystem::path output_test::list_dir() const {
  return host_.root() / "drive_c" / "Program Files" / "velmora" / "drivers" / "hba" / "hbalogd";
}

std::filesystem::path output_test::log_dir() const { return list_dir() / "log"; }

std::filesystem::path output_test::log_file(std::uint16_t location) const {
  char name[16];
  std::snprintf(name, sizeof name, "kvx%04x.log", static_cast<unsigned>(location));
  return log_dir() / name;
}

}  // namespace kvx::test
