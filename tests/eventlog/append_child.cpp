// Test helper run as a separate process: appends records to a simulated log.
// Usage: eventlog_append_child LOG COUNT [MAX_DATA_SIZE]. Record i carries the
// string "child <i>" and (i * 37) % (MAX_DATA_SIZE + 1) data bytes of value
// i & 0xFF. Exit status 0 when every record was appended.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/eventlog/driver_text_records.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: eventlog_append_child LOG COUNT [MAX_DATA_SIZE]\n");
    return 2;
  }
  const long count = std::strtol(argv[2], nullptr, 10);
  const long max_data = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
  for (long i = 0; i < count; ++i) {
    const std::vector<std::uint8_t> data(static_cast<std::size_t>((i * 37) % (max_data + 1)),
                                         static_cast<std::uint8_t>(i & 0xFF));
    if (kvx::test::append_driver_text(argv[1], "child " + std::to_string(i), data) < 0) {
      return 1;
    }
  }
  return 0;
}
