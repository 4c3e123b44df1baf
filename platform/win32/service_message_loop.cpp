// The run loop's thread message queue and COM initialisation on Windows.
#include <objbase.h>
#include <windows.h>

#include "platform/service.h"

namespace kvx::platform {
namespace {

class win32_message_loop final : public message_loop {
 public:
  win32_message_loop() : thread_(::GetCurrentThreadId()) {
    // A thread has no message queue until it calls into USER32; without one
    // PostThreadMessageA fails and a quit posted before GetMessageA is lost.
    MSG msg;
    ::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  }

  void post_quit() override { ::PostThreadMessageA(thread_, WM_QUIT, 0, 0); }

  void run() override {
    MSG msg;
    // GetMessageA gives -1 on an error (never for this thread's own queue);
    // that ends the loop as the quit does.
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) ::DispatchMessageA(&msg);
  }

 private:
  DWORD thread_;
};

}  // namespace

std::unique_ptr<message_loop> create_message_loop() { return std::make_unique<win32_message_loop>(); }

com_apartment::com_apartment() : result_(static_cast<std::int32_t>(::CoInitialize(nullptr))) {}

com_apartment::~com_apartment() {
  if (result_ >= 0) ::CoUninitialize();
}

}  // namespace kvx::platform
