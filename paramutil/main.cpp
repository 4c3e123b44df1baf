// hbautil: edits the kvxwdd driver's parameters in the registry, for all
// adapters or per adapter number, and binds adapter numbers to world wide
// port names. Takes no arguments; works only through its console menus.
#include <cstdio>

#include "paramutil/dialogs.h"
#include "paramutil/session.h"
#include "platform/registry.h"

int main() {
  kvx::paramutil::session s{kvx::platform::host_registry(), stdin, stdout, {}};
  return kvx::paramutil::main_menu(s);
}
