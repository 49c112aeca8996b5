// What the session thread asks of the main window. Both calls are synchronous
// hand-offs: they run on the window thread while the session thread waits.
#pragma once

#include <string>

namespace tessar {

class SessionWindow {
 public:
  virtual ~SessionWindow() = default;
  // Appends "date time text" to the connection log (Memo1).
  virtual void WriteLogLine(const std::string& text) = 0;
  // Advances the activity frame counter and redraws the server-link indicator.
  virtual void AdvanceServerIndicator() = 0;
};

}  // namespace tessar
