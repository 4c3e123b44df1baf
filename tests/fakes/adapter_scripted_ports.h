// The fake driver as the adapter access tests use it: every path opens, and
// an exchange succeeds with the packet as sent (or as set_reply fills it)
// unless the script says otherwise.
#pragma once

#include "tests/fakes/fake_driver.h"

namespace kvx::test {

class scripted_ports final : public fake_driver {
 public:
  scripted_ports() { script_every_port(); }
};

}  // namespace kvx::test
