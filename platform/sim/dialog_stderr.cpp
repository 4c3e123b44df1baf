// Message boxes on the simulated host: one line on standard error each, since
// the host has no desktop. Nothing waits for a button.
#include <cstdio>

#include "platform/dialog.h"

namespace kvx::platform {
namespace {

class stderr_dialogs final : public dialogs {
 public:
  void show_message(const std::string& text, const std::string& caption) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
  }
  void show_message_ansi(const std::string& text) override {
    std::fprintf(stderr, "Error: %s\n", text.c_str());
    std::fflush(stderr);
  }
};

}  // namespace

dialogs& backend_dialogs() {
  static stderr_dialogs instance;
  return instance;
}

}  // namespace kvx::platform
