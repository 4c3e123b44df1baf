#include "logd/output/report_event.h"

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/event_log.h"
#include "platform/host.h"

namespace kvx::logd {
namespace {

constexpr std::size_t message_buffer_size = 256;

}  // namespace

void report_event(int type, const char* format, ...) {
  char text[message_buffer_size] = {};
  va_list args;
  va_start(args, format);
  // vsnprintf keeps at most 255 characters and always terminates the buffer.
  const int formatted = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (formatted < 0) text[0] = '\0';

  // Nothing may reach the caller: a source that cannot be registered, a report
  // that the log refuses, or memory running out loses this one message.
  try {
    std::unique_ptr<platform::event_source> source = platform::host_event_logs().register_source(hbalogd_event_source);
    if (!source) return;
    const std::vector<std::string> strings{text};
    (void)source->report(static_cast<std::uint16_t>(type), 0, hbalogd_event_id, strings, {});
  } catch (const std::exception&) {
    // The message is lost; the service goes on.
  }
}

}  // namespace kvx::logd
