#include "tests/fakes/paramutil_console.h"

#include <stdio.h>

#include <cstdlib>

namespace kvx::test {

paramutil_console::paramutil_console(const std::string& input) : input_(input) {
  // fmemopen refuses a zero-length buffer; an empty input is a stream at its end.
  in_ = input_.empty() ? ::fopen("/dev/null", "r") : ::fmemopen(input_.data(), input_.size(), "r");
  out_ = ::open_memstream(&buffer_, &size_);
}

paramutil_console::~paramutil_console() {
  if (in_ != nullptr) std::fclose(in_);
  if (out_ != nullptr) std::fclose(out_);
  std::free(buffer_);
}

std::string paramutil_console::output() {
  std::fflush(out_);
  return std::string(buffer_ != nullptr ? buffer_ : "", size_);
}

}  // namespace kvx::test
