// Parameter strings of any text through find, set and clear: the pure text
// functions on every entry name, and set_parameter, clear_parameter and the
// display of the numeric parameters against a registry whose Device values
// hold anything at all (any type, no NUL, NULs inside).
#include "paramutil/parameter_text.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "paramutil/parameter_store.h"
#include "paramutil/parameter_table.h"
#include "platform/win_codes.h"
#include "tests/fakes/paramutil_fake_registry.h"

namespace {

using namespace kvx;
using namespace kvx::paramutil;

[[noreturn]] void fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "parameter text broken: %s (\"%s\")\n", what, text.c_str());
  std::abort();
}

void check_text_functions(const std::string& text) {
  for (const parameter_row* row = parameter_table; row->number != 0; ++row) {
    if (row->entry_name == nullptr) continue;
    const std::string_view name(row->entry_name);
    const std::optional<entry_location> e = find_entry(text, name);
    if (!e) {
      if (text.find(name) != std::string::npos) fail("entry not found", text);
      continue;
    }
    if (e->begin + name.size() > e->end || e->end > text.size() || text.compare(e->begin, name.size(), name) != 0) {
      fail("entry bounds", text);
    }
    if (e->has_value) {
      if (e->value_begin <= e->begin + name.size() || e->value_begin > e->value_end || e->value_end > e->end) {
        fail("value bounds", text);
      }
      const std::string_view value = std::string_view(text).substr(e->value_begin, e->value_end - e->value_begin);
      (void)leading_number(value, false);
      (void)leading_number(value, true);
    }
    if (without_entry(text, *e).size() != text.size() - (e->end - e->begin)) fail("without_entry size", text);
  }
}

// The scope's parameter string as hbautil reads it: up to its first NUL.
std::string stored_text(const test::paramutil_fake_registry& reg, scope where) {
  const test::paramutil_fake_registry::value* v = reg.find(device_key_path, parameter_value_name(where).text);
  if (v == nullptr) return {};
  std::string text(v->data.begin(), v->data.end());
  return text.substr(0, text.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  FuzzedDataProvider in(data, size);
  test::paramutil_fake_registry reg;
  const bool installed = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  if (installed) reg.add_key(service_key_path);
  const scope where{in.ConsumeIntegralInRange<int>(-1, adapter_number_count - 1)};
  const int parameter = in.ConsumeIntegralInRange<int>(0, 11);
  const std::string typed = in.ConsumeRandomLengthString(64);
  const bool have_value = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  const std::uint32_t type = in.ConsumeIntegralInRange<std::uint32_t>(0, 12);
  const std::string text = in.ConsumeRemainingBytesAsString();
  if (have_value) {
    // The Device key lies below the service key: the driver counts as
    // installed whenever it exists.
    reg.add_key(device_key_path);
    platform::unique_reg_key key;
    if (reg.open_key(platform::hive_root::local_machine, device_key_path, win::key_all_access, key) == 0) {
      (void)key->set_value(parameter_value_name(where).text, type, reinterpret_cast<const std::uint8_t*>(text.data()),
                           static_cast<std::uint32_t>(text.size()));
    }
  }
  check_text_functions(text);

  session s{reg, nullptr, sink, {}};
  const parameter_row* row = find_parameter(parameter);
  // The display of a listed value (parameters 1 to 3) it does not know, and
  // of a parameter the scope does not have, ends the program by design; only
  // the others are shown.
  const bool shown =
      parameter >= param_link_down && parameter <= param_mscs_mode && (where.global() || row->adapter_allowed == 1);
  if (shown) show_current_value(s, parameter, where);
  set_parameter(s, parameter, where, typed);
  const std::string after_set = stored_text(reg, where);
  const bool storable = (installed || have_value) && row != nullptr && row->entry_name != nullptr && parameter >= 1 &&
                        parameter <= param_mscs_mode && (where.global() || row->adapter_allowed == 1);
  if (storable) {
    const std::string entry = std::string(row->entry_name) + "=" + typed + ";";
    if (typed.find('\0') == std::string::npos &&
        (after_set.size() < entry.size() ||
         after_set.compare(after_set.size() - entry.size(), entry.size(), entry) != 0)) {
      fail("set did not append the entry", after_set);
    }
    if (shown) show_current_value(s, parameter, where);
    clear_parameter(s, parameter, where);
    if (typed.find('\0') == std::string::npos && stored_text(reg, where).size() >= after_set.size()) {
      fail("clear removed nothing", after_set);
    }
  }
  return 0;
}
