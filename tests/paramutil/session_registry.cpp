#include "tests/paramutil/session_registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <vector>

#include "platform/host.h"
#include "platform/registry.h"
#include "platform/win_codes.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/process.h"

namespace kvx::test {
namespace {

const std::string device_key_arg = std::string("HKLM\\") + device_key;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "    NAME    TYPE    COUNT    HEX" from `reg query ... /x`; the hex field is
// empty for a value of no bytes.
std::optional<stored_value> parse_value_line(const std::string& line, const char* name) {
  std::istringstream words(line);
  std::string got_name, type, count_text, hex;
  if (!(words >> got_name >> type >> count_text)) return std::nullopt;
  if (got_name != name) return std::nullopt;
  words >> hex;
  if (hex.size() % 2 != 0) return std::nullopt;
  stored_value v{type, {}};
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = hex_value(hex[i]);
    const int lo = hex_value(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    v.bytes += static_cast<char>(hi * 16 + lo);
  }
  if (std::to_string(v.bytes.size()) != count_text) {
    ADD_FAILURE() << "byte count " << count_text << " does not match the bytes of " << line;
  }
  return v;
}

}  // namespace

void session_registry::add_key(const char* path) {
  platform::unique_reg_key key;
  ASSERT_EQ(platform::backend_registry().create_key(platform::hive_root::local_machine, path, win::key_all_access, key,
                                                    nullptr),
            win::error_success);
}

void session_registry::put_text(const char* name, const std::string& bytes) {
  platform::unique_reg_key key;
  ASSERT_EQ(platform::backend_registry().create_key(platform::hive_root::local_machine, device_key, win::key_all_access,
                                                    key, nullptr),
            win::error_success);
  ASSERT_EQ(key->set_value(name, win::reg_sz, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                           static_cast<std::uint32_t>(bytes.size())),
            win::error_success);
}

std::optional<stored_value> session_registry::query(const char* name) {
  const command_result run = run_built("simhost/simhost", {"reg", "query", device_key_arg, "/v", name, "/x"});
  if (run.status == 1) return std::nullopt;
  EXPECT_EQ(run.status, 0) << run.err;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (std::optional<stored_value> v = parse_value_line(line, name)) return v;
  }
  ADD_FAILURE() << "no line for " << name << " in:\n" << run.out;
  return std::nullopt;
}

bool session_registry::device_key_exists() {
  const command_result run = run_built("simhost/simhost", {"reg", "query", device_key_arg});
  return run.status == 0;
}

}  // namespace kvx::test
