// Stands in for hbalogd in the installer hooks' tests: appends its arguments
// as one line to the file named by KVX_STAND_IN_LOG and ends with the status
// in KVX_STAND_IN_STATUS (0 when unset).
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (const char* log = std::getenv("KVX_STAND_IN_LOG"); log != nullptr) {
    if (std::FILE* f = std::fopen(log, "a"); f != nullptr) {
      for (int i = 1; i < argc; ++i) std::fprintf(f, i == 1 ? "%s" : " %s", argv[i]);
      std::fprintf(f, "\n");
      std::fclose(f);
    }
  }
  const char* status = std::getenv("KVX_STAND_IN_STATUS");
  return status != nullptr ? std::atoi(status) : 0;
}
