// What the driver core asks of the main window. The window classes implement
// it over their widgets; tests pass a recording fake. Every call comes on the
// main thread.
#pragma once

#include <cstdint>
#include <string>

#include "frame/indicator.h"

namespace tessar {

class FrameWindow {
 public:
  virtual ~FrameWindow() = default;
  // Label2 and Label5.
  virtual void ShowCounters(int32_t messages, int32_t duplicates) = 0;
  // Image2 and Image3.
  virtual void DrawStationIndicator(const IndicatorPixels& pixels) = 0;
  virtual void DrawServerIndicator(const IndicatorPixels& pixels) = 0;
  // An error for the operator: a message box at a desktop, and standard error.
  virtual void ReportError(const std::string& text) = 0;
};

}  // namespace tessar
