// Message boxes with an OK button and no owner window.
#pragma once

#include <string>

namespace kvx::platform {

class dialogs {
 public:
  virtual ~dialogs() = default;
  /// MessageBoxW with `text` and `caption` given in UTF-8 and shown in UTF-16,
  /// so that any system shows them as written whatever its ANSI code page.
  /// Simulated host: the line "caption: text" on standard error.
  virtual void show_message(const std::string& text, const std::string& caption) = 0;
  /// MessageBoxA with an ANSI `text` and no caption (the system's default
  /// caption). Simulated host: "Error: " and the text on standard error.
  virtual void show_message_ansi(const std::string& text) = 0;
};

/// The dialogs of the linked backend.
dialogs& backend_dialogs();

}  // namespace kvx::platform
