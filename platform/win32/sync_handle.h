// Private to the Win32 backend: the kernel handle behind an event of
// platform/sync.h, for calls such as NotifyChangeEventLog that take one.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kvx::platform {

class event_handle;

/// The event's handle, or null when `event` was not made by create_event of
/// this backend (a test's fake, say).
HANDLE native_event_handle(event_handle& event);

}  // namespace kvx::platform
