// Stands in for hbalogd.exe where the installer hooks must meet a
// registering or unregistering run that fails: appends its command line to
// the file named by KVX_FAKE_RECORD (when set) and ends with the status in
// KVX_FAKE_STATUS (5 when unset).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int main() {
  if (const char* record = std::getenv("KVX_FAKE_RECORD")) {
    const std::unique_ptr<std::FILE, file_closer> out(std::fopen(record, "a"));
    if (out) std::fprintf(out.get(), "%s\n", GetCommandLineA());
  }
  const char* status = std::getenv("KVX_FAKE_STATUS");
  return status != nullptr ? std::atoi(status) : 5;
}
