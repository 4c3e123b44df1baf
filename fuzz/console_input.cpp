// Every hbautil input line, of any bytes and any length, through the one line
// reader and the validator of every prompt kind. The line kept is at most 31
// characters and always terminated; a number is accepted only inside its
// kind's set; an accepted value line fits the 7-character copy that is
// stored; letter answers come only where the kind takes them.
#include "paramutil/console_input.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "paramutil/parameter_table.h"
#include "tests/fakes/paramutil_fake_registry.h"

namespace {

using namespace kvx;
using namespace kvx::paramutil;

[[noreturn]] void fail(const char* what, int kind, const input_line& line) {
  std::fprintf(stderr, "validator broken: %s (kind %d, line \"%s\")\n", what, kind, line.text);
  std::abort();
}

std::vector<int> every_kind() {
  std::vector<int> kinds;
  for (int k = kind_main_menu; k <= kind_adapter_number; ++k) kinds.push_back(k);
  for (int p = param_connection_type; p <= param_mscs_mode; ++p) {
    kinds.push_back(kind_value_global + p);
    if (find_parameter(p)->adapter_allowed == 1) kinds.push_back(kind_value_adapter + p);
  }
  return kinds;
}

void check_result(int kind, int result, const input_line& line) {
  if (result == result_invalid) return;
  const int parameter = kind >= kind_value_adapter  ? kind - kind_value_adapter
                        : kind >= kind_value_global ? kind - kind_value_global
                                                    : 0;
  const bool prompt_style = parameter >= param_link_down && parameter <= param_sg_list;
  const char first = line.text[0];
  if (result == result_cancel) {
    if (!(prompt_style || kind == kind_adapter_number) || (first != 'X' && first != 'x')) fail("cancel", kind, line);
    return;
  }
  if (result == result_clear) {
    if (!prompt_style || (first != 'Z' && first != 'z')) fail("clear", kind, line);
    return;
  }
  if (result < 0) fail("unknown result", kind, line);
  if (line.length == 0 || line.overlong) fail("empty or overlong line accepted", kind, line);
  if (parameter != 0 && line.length > max_value_length) fail("value line longer than its copy", kind, line);
  if (kind == kind_adapter_number && result >= adapter_number_count) fail("adapter number", kind, line);
  if (parameter == param_preferred_alpa && (result < 0x01 || result > 0xEF)) fail("AL-PA range", kind, line);
  if (parameter != param_preferred_alpa) {
    for (std::size_t i = 0; i < line.length; ++i) {
      if (line.text[i] < '0' || line.text[i] > '9') fail("number with other characters", kind, line);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "w");
  static const std::vector<int> kinds = every_kind();
  static test::paramutil_fake_registry reg;
  if (size == 0) return 0;
  std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (in == nullptr) return 0;
  session s{reg, in, sink, {}};
  for (;;) {
    // read_line ends the program at the end of input; stop before that.
    const int c = std::fgetc(in);
    if (c == EOF) break;
    std::ungetc(c, in);
    read_line(s);
    if (s.line.length > input_line::max_length || std::strlen(s.line.text) > s.line.length) {
      fail("line buffer", 0, s.line);
    }
    for (int kind : kinds) check_result(kind, validate_input(s, kind), s.line);
  }
  std::fclose(in);
  return 0;
}
