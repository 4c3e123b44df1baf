// kvxlog's ring reader on any bytes as a log file, and every output form of
// what it reads. Whatever the bytes: the items lie inside the file, never
// overlap and never cover the header; a whole entry parses again to the same
// end at its offset; every JSON line is one line; the program's filters
// never pass more than the ring holds.
#include "kvxlog/log_ring.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kvxlog/entry_output.h"
#include "kvxlog/options.h"
#include "kvxlog/program.h"

namespace {

using namespace kvx::kvxlog;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "ring reader broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const ring_contents ring = read_ring(file);
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  for (const ring_item& item : ring.items) {
    if (item.offset < header_size || item.length == 0 || item.offset + item.length > file.size()) fail("item outside");
    spans.emplace_back(item.offset, item.length);
    if (item.whole) {
      std::size_t end = 0;
      if (!parse_entry(file, item.offset, file.size(), end) || end != item.offset + item.length) fail("whole entry");
      for (const auto* dump : {&item.fields.event_dump, &item.fields.detail_dump}) {
        if (!*dump) continue;
        std::string hex;
        append_dump_hex(hex, file, **dump);
        if (hex.size() != 2 * (*dump)->bytes) fail("dump digits");
      }
    }
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i) {
    if (spans[i - 1].first + spans[i - 1].second > spans[i].first) fail("items overlap");
  }
  const file_label label{"kvx0208.log", std::string("0208")};
  for (output_form form : {output_form::text, output_form::summary, output_form::json}) {
    std::string out;
    for (const ring_item& item : ring.items) {
      const std::size_t before = out.size();
      append_item(out, form, file, item, label);
      if (out.size() == before || out.back() != '\n') fail("item without its line end");
      if (form == output_form::json && out.find('\n', before) != out.size() - 1) fail("JSON over more than one line");
    }
  }
  options opts;
  opts.form = output_form::summary;
  opts.filter.last = 2;
  file_state state{std::string(file), {}};
  std::string out;
  std::string problems;
  show_file(state, label, opts, out, problems);
  if (std::count(out.begin(), out.end(), '\n') > 2) fail("more than the last two");
  return 0;
}
