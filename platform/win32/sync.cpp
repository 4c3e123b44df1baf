// Waitable events on Windows: CreateEventA, SetEvent, WaitForSingleObject,
// CloseHandle.
#include "platform/sync.h"

#include "platform/win32/sync_handle.h"
#include "platform/win_codes.h"

namespace kvx::platform {
namespace {

class win32_event final : public event_handle {
 public:
  explicit win32_event(HANDLE h) : handle_(h) {}
  ~win32_event() override { ::CloseHandle(handle_); }
  win32_event(const win32_event&) = delete;
  win32_event& operator=(const win32_event&) = delete;

  void set() override { ::SetEvent(handle_); }
  std::uint32_t wait(std::uint32_t timeout_ms) override {
    const DWORD rc = ::WaitForSingleObject(handle_, timeout_ms);
    if (rc == WAIT_OBJECT_0) return win::wait_object_0;
    if (rc == WAIT_TIMEOUT) return win::wait_timeout;
    return win::wait_failed;
  }
  HANDLE native() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<event_handle> create_event(const char* name) {
  // Unnamed when the name is empty, as for a null name.
  HANDLE h = ::CreateEventA(nullptr, FALSE, FALSE, name != nullptr && *name != '\0' ? name : nullptr);
  if (h == nullptr) return nullptr;
  return std::make_unique<win32_event>(h);
}

HANDLE native_event_handle(event_handle& event) {
  auto* own = dynamic_cast<win32_event*>(&event);
  return own != nullptr ? own->native() : nullptr;
}

}  // namespace kvx::platform
