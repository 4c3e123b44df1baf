// The nine configuration values of hbalogd, each absent or of any type, any
// size and any data (the key itself absent too), through read_configuration.
// A number is taken only from a REG_DWORD of four bytes and is then used
// unchanged; a directory only from a REG_SZ, up to its first NUL; everything
// else leaves the built-in default.
#include "logd/output/configuration.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_host.h"
#include "logd/state_store.h"
#include "platform/host.h"
#include "platform/win_codes.h"
#include "tests/fakes/paramutil_fake_registry.h"

namespace {

using namespace kvx;

struct number_item {
  const char* name;
  std::int32_t initial;
  std::int32_t (*get)();
};

const number_item numbers[] = {
    {"max_retry_count", 300, logd::get_max_retry_count},
    {"retry_frequency", 1, logd::get_retry_frequency},
    {"unique_id_position", 40, logd::get_unique_id_position},
    {"dump_data_size", 104, logd::get_dump_data_size},
    {"error_log_size", 1024, logd::get_error_log_size},
    {"max_error_log_count", 16, logd::get_max_error_log_count},
    {"max_record_count", 4096, logd::get_max_record_count},
};

struct path_item {
  const char* name;
  const char* initial;
  std::optional<std::string> (*get)();
};

const path_item paths[] = {
    {"error_log_file_path", "C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log", logd::get_error_log_file_path},
    {"error_log_list_path", "C:\\Program Files\\velmora\\drivers\\hba\\hbalogd", logd::get_error_log_list_path},
};

struct fixture {
  fuzz::quiet_event_logs logs;
  platform::scoped_event_logs logs_guard{logs};
};

struct given_value {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

[[noreturn]] void fail(const char* what, const char* name) {
  std::fprintf(stderr, "configuration broken: %s (%s)\n", what, name);
  std::abort();
}

std::uint32_t fuzzed_type(FuzzedDataProvider& in) {
  static const std::uint32_t common[] = {win::reg_dword, win::reg_sz,       win::reg_expand_sz, win::reg_binary,
                                         win::reg_qword, win::reg_multi_sz, win::reg_none};
  if (in.ConsumeIntegralInRange<int>(0, 7) == 7) return in.ConsumeIntegral<std::uint32_t>();
  return in.PickValueInArray(common);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fixture f;
  FuzzedDataProvider in(data, size);
  test::paramutil_fake_registry registry;
  platform::scoped_registry registry_guard(registry);
  platform::unique_reg_key key;
  if (in.ConsumeIntegralInRange<int>(0, 15) != 0) {
    registry.add_key(logd::configuration_key);
    (void)registry.open_key(platform::hive_root::local_machine, logd::configuration_key, win::key_all_access, key);
  }
  std::optional<given_value> given[9];
  for (int i = 0; i < 9; ++i) {
    if (!in.ConsumeBool()) continue;
    given_value v;
    v.type = fuzzed_type(in);
    v.data = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, i < 7 ? 12 : 600));
    const char* name = i < 7 ? numbers[i].name : paths[i - 7].name;
    if (key) (void)key->set_value(name, v.type, v.data.data(), static_cast<std::uint32_t>(v.data.size()));
    given[i] = std::move(v);
  }

  if (logd::read_configuration() != 0) fail("read_configuration failed", "");
  for (int i = 0; i < 7; ++i) {
    const std::optional<given_value>& v = given[i];
    std::int32_t expected = numbers[i].initial;
    if (key && v && v->type == win::reg_dword && v->data.size() == 4) {
      expected = static_cast<std::int32_t>(v->data[0] | v->data[1] << 8 | v->data[2] << 16 |
                                           static_cast<std::uint32_t>(v->data[3]) << 24);
    }
    if (numbers[i].get() != expected) fail("number", numbers[i].name);
  }
  for (int i = 0; i < 2; ++i) {
    const std::optional<std::string> got = paths[i].get();
    if (!got) fail("directory missing", paths[i].name);
    if (*got == paths[i].initial) continue;
    const std::optional<given_value>& v = given[7 + i];
    if (!key || !v || v->type != win::reg_sz) fail("directory taken from an unusable value", paths[i].name);
    const std::string stored(v->data.begin(), v->data.end());
    if (std::strlen(got->c_str()) != got->size() || stored.compare(0, got->size(), *got) != 0 ||
        (got->size() < stored.size() && stored[got->size()] != '\0')) {
      fail("directory is not the stored text", paths[i].name);
    }
    if (got->size() >= logd::path_buffer_size) fail("directory longer than a path buffer", paths[i].name);
  }
  return 0;
}
