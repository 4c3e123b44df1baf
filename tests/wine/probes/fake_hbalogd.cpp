// Stands in for hbalogd.exe where the installer hooks must meet a
// registering or unregistering run that fails: ends at once with the status
// in KVX_FAKE_STATUS (5 when unset).
#include <cstdlib>

int main() {
  const char* status = std::getenv("KVX_FAKE_STATUS");
  return status != nullptr ? std::atoi(status) : 5;
}
