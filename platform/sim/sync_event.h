// Private to the simulated host: PulseEvent, which nothing of the suite calls
// itself. The system's change notification (NotifyChangeEventLog) signals its
// event by pulsing it, and the simulated event logs do the same.
#pragma once

namespace kvx::platform {
class event_handle;
}

namespace kvx::sim {

/// PulseEvent on an auto-reset event: releases one thread that waits on
/// `event` at this moment, if there is one, and leaves the event not
/// signalled. With nobody waiting the pulse is lost, and a signal that was
/// set before it and not yet taken is taken back with it. An event that is
/// not the simulated host's own (a test's) is set instead.
void pulse_event(platform::event_handle& event);

}  // namespace kvx::sim
