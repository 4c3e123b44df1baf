// The simulated registry's .reg text of any bytes: the parser, and a hive
// file of those bytes loaded and queried through the registry seam. A text
// that parses must come back unchanged through the hive's own writer (what
// regedit would export must parse again to the same keys and values); a
// text that does not parse must give error_registry_corrupt with a message.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_host.h"
#include "platform/host.h"
#include "platform/sim/hive.h"
#include "platform/win_codes.h"

namespace {

using namespace kvx;
using sim::hive_root;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "hive text broken: %s\n%s\n", what, detail.c_str());
  std::abort();
}

void check_round_trip(const std::vector<sim::reg_edit>& edits) {
  std::string first;
  for (hive_root root : {hive_root::local_machine, hive_root::classes_root}) {
    sim::reg_key top;
    sim::apply_edits(edits, root, top);
    const std::string text = sim::format_reg_text(root, {}, top);
    std::vector<sim::reg_edit> again;
    sim::hive_error error;
    if (sim::parse_reg_text(text, again, error) != 0)
      fail("the exported text does not parse", error.message + "\n" + text);
    sim::reg_key back;
    sim::apply_edits(again, root, back);
    if (sim::format_reg_text(root, {}, back) != text) fail("the exported text does not come back", text);
  }
}

// Every value of every key the text names, through the seam, as a program
// would ask for them.
void query_through_the_seam(const std::vector<sim::reg_edit>& edits) {
  platform::registry& reg = platform::backend_registry();
  for (const sim::reg_edit& e : edits) {
    if (e.root != hive_root::local_machine || e.what != sim::reg_edit::action::set_value) continue;
    std::string subkey;
    for (const std::string& name : e.path) subkey += (subkey.empty() ? "" : "\\") + name;
    platform::unique_reg_key key;
    if (reg.open_key(hive_root::local_machine, subkey.c_str(), win::key_query_value, key) != win::error_success) {
      continue;
    }
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (key->query_value(e.value.name.c_str(), &type, nullptr, &size) != win::error_success) continue;
    std::vector<std::uint8_t> data(size + 1);
    std::uint32_t got = size;
    (void)key->query_value(e.value.name.c_str(), &type, data.data(), &got);
    std::uint8_t four[4];
    std::uint32_t small = sizeof four;
    const std::uint32_t rc = key->query_value(e.value.name.c_str(), &type, four, &small);
    if (rc == win::error_more_data && small <= sizeof four) fail("more data reported for data that fits", subkey);
    (void)key->close();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)fuzz::temp_host_root();
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<sim::reg_edit> edits;
  sim::hive_error error;
  const bool parsed = sim::parse_reg_text(text, edits, error) == 0;
  if (!parsed && (error.code != win::error_registry_corrupt || error.message.empty() || !edits.empty())) {
    fail("a refused text without its error", error.message);
  }
  if (parsed) check_round_trip(edits);

  // The same bytes as the machine's hive file: an empty file is an empty
  // hive, any other loads exactly when its text parses and names only keys
  // of this root.
  bool only_machine_keys = true;
  for (const sim::reg_edit& e : edits) only_machine_keys = only_machine_keys && e.root == hive_root::local_machine;
  fuzz::write_file(sim::hive_file(hive_root::local_machine), text);
  sim::reg_key top;
  sim::hive_error load_error;
  const int loaded = sim::load_hive(hive_root::local_machine, top, load_error);
  if ((loaded == 0) != (text.empty() || (parsed && only_machine_keys))) {
    fail("the hive file loads unlike its text parses", load_error.message);
  }
  if (loaded != 0 && (load_error.code != win::error_registry_corrupt || load_error.message.empty())) {
    fail("a corrupt hive file without its error", load_error.message);
  }
  if (loaded == 0) query_through_the_seam(edits);
  return 0;
}
