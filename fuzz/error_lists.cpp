// The two list files, errorlog_list.txt and errorlevel_list.txt, of any text,
// any line length and any bytes, through load_error_list and the look-ups.
// Every name in a loaded table must be a whole token (no delimiter in it, not
// empty), the counts must match the tables, and a look-up must give the
// first entry with its number.
#include "logd/output/error_lists.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/support/fuzz_host.h"
#include "logd/output/decimal_text.h"
#include "logd/state_store.h"
#include "platform/files.h"
#include "platform/host.h"

namespace {

using namespace kvx;

constexpr const char* list_directory = "C:\\fuzz\\lists";

struct fixture {
  fuzz::quiet_event_logs logs;
  platform::scoped_event_logs logs_guard{logs};
  std::filesystem::path directory;

  fixture() {
    (void)fuzz::temp_host_root();
    directory = platform::native_path(list_directory);
    std::filesystem::create_directories(directory);
    logd::set_error_log_list_path(std::string(list_directory));
  }
};

[[noreturn]] void fail(const char* what, const std::string& name) {
  std::fprintf(stderr, "list table broken: %s (\"%s\")\n", what, name.c_str());
  std::abort();
}

void check_token(const std::string& name) {
  if (name.empty()) fail("empty name", name);
  if (name.find_first_of(" ,\t\n") != std::string::npos) fail("delimiter inside a name", name);
}

void check_tables() {
  const std::vector<logd::name_entry>* names = logd::get_errorlist_name_table();
  const std::vector<logd::level_entry>* levels = logd::get_errorlist_level_table();
  if (names != nullptr) {
    if (static_cast<std::size_t>(logd::get_errorlist_name_count()) != names->size()) fail("name count", "");
    for (const logd::name_entry& e : *names) {
      check_token(e.error_name);
      const logd::name_entry* found = logd::find_error_name(e.error_number);
      if (found == nullptr || found->error_number != e.error_number || found > &e) fail("name look-up", e.error_name);
      const logd::level_entry* level = logd::find_error_level(found);
      if (level != nullptr && level->level_number != found->level_number) fail("level look-up", e.error_name);
    }
  }
  if (levels != nullptr) {
    if (static_cast<std::size_t>(logd::get_errorlist_level_count()) != levels->size()) fail("level count", "");
    for (const logd::level_entry& e : *levels) check_token(e.level_name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fixture f;
  FuzzedDataProvider in(data, size);
  const std::string names = in.ConsumeRandomLengthString();
  const std::string levels = in.ConsumeRemainingBytesAsString();
  fuzz::write_file(f.directory / "errorlog_list.txt", names);
  fuzz::write_file(f.directory / "errorlevel_list.txt", levels);

  logd::set_errorlist_name_table(nullptr);
  logd::set_errorlist_name_count(0);
  logd::set_errorlist_level_table(nullptr);
  logd::set_errorlist_level_count(0);
  (void)logd::load_error_list(logd::error_name_list);
  (void)logd::load_error_list(logd::error_level_list);
  check_tables();

  // The atoi-like reader on the raw text, from every position of its start.
  for (std::size_t at = 0; at < names.size() && at < 64; ++at) {
    std::size_t pos = at;
    if (logd::read_decimal(names, pos) && (pos <= at || pos > names.size())) fail("read_decimal position", "");
  }
  return 0;
}
