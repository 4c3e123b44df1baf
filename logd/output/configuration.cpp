#include "logd/output/configuration.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "adapter/byte_order.h"
#include "logd/output/report_event.h"
#include "logd/state_store.h"
#include "platform/host.h"
#include "platform/registry.h"
#include "platform/win_codes.h"

namespace kvx::logd {
namespace {

struct number_setting {
  const char* name;
  std::int32_t initial;
  void (*set)(std::int32_t);
};

// In the order the settings are stored and read.
const number_setting number_settings[] = {
    {"max_retry_count", 300, set_max_retry_count},      {"retry_frequency", 1, set_retry_frequency},
    {"unique_id_position", 40, set_unique_id_position}, {"dump_data_size", 104, set_dump_data_size},
    {"error_log_size", 1024, set_error_log_size},       {"max_error_log_count", 16, set_max_error_log_count},
    {"max_record_count", 4096, set_max_record_count},
};

struct path_setting {
  const char* name;
  const char* initial;
  /// The longest file name that is appended to the directory, after a separator.
  const char* longest_file;
  void (*set)(std::optional<std::string>);
};

const path_setting path_settings[] = {
    {log_folder_value, default_log_folder, "kvx0000.log", set_error_log_file_path},
    {"error_log_list_path", "C:\\Program Files\\velmora\\drivers\\hba\\hbalogd", "errorlevel_list.txt",
     set_error_log_list_path},
};

void read_number(platform::registry_key& key, const number_setting& setting) {
  std::uint8_t data[4] = {0, 0, 0, 0};
  std::uint32_t type = 0;
  std::uint32_t size = sizeof data;
  if (key.query_value(setting.name, &type, data, &size) != win::error_success) {
    report_event(report_warning, "Unable to get registory data %s. Use default parameter.", setting.name);
    return;
  }
  // A REG_DWORD with fewer than four bytes is as unusable as a wrong type.
  if (type != win::reg_dword || size != sizeof data) {
    report_event(report_warning, "The type of registory %s is wrong. Use default parameter.", setting.name);
    return;
  }
  setting.set(static_cast<std::int32_t>(adapter::get_u32_le(data, 0)));
}

/// Whether "directory\file" fits the path buffers with its terminating NUL
/// (the separator counted even when the directory already ends in one).
bool fits_path_buffer(const std::string& directory, const char* longest_file) {
  return directory.size() + 1 + std::strlen(longest_file) < path_buffer_size;
}

void read_path(platform::registry_key& key, const path_setting& setting) {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (key.query_value(setting.name, &type, nullptr, &size) != win::error_success) {
    report_event(report_warning, "Unable to get the data size of registory %s. Use default parameter.", setting.name);
    return;
  }
  if (type != win::reg_sz) {
    report_event(report_warning, "The type of registory %s is wrong. Use default parameter.", setting.name);
    return;
  }
  // One byte more than the data, zero-filled, so that the text ends even when
  // the stored data lacks its NUL.
  std::vector<std::uint8_t> buffer;
  try {
    buffer.assign(static_cast<std::size_t>(size) + 1, 0);
  } catch (const std::bad_alloc&) {
    report_event(report_warning, "Unable to allocate memory for registory data %s. Use default parameter.",
                 setting.name);
    return;
  }
  std::uint32_t filled = size;
  if (key.query_value(setting.name, &type, buffer.data(), &filled) != win::error_success || filled > size) {
    report_event(report_warning, "Unable to get registory data %s. Use default parameter.", setting.name);
    return;
  }
  std::string directory(reinterpret_cast<const char*>(buffer.data()));
  if (!fits_path_buffer(directory, setting.longest_file)) {
    report_event(report_warning, "The registory %s is too long. Use default parameter.", setting.name);
    return;
  }
  setting.set(std::move(directory));
}

}  // namespace

int read_configuration() {
  for (const number_setting& setting : number_settings) setting.set(setting.initial);
  for (const path_setting& setting : path_settings) setting.set(std::string(setting.initial));

  platform::unique_reg_key key;
  if (platform::host_registry().open_key(platform::hive_root::local_machine, configuration_key, win::key_query_value,
                                         key) != win::error_success ||
      !key) {
    report_event(report_warning, "Unable to open registory %s. Use default parameter.", configuration_key);
    return 0;
  }
  for (const number_setting& setting : number_settings) read_number(*key, setting);
  for (const path_setting& setting : path_settings) read_path(*key, setting);
  (void)key->close();
  return 0;
}

}  // namespace kvx::logd
