// The two 16x16 link indicators: a white picture, a frame green while the link
// is up and red while it is down, drawn with a 2-pixel pen, and a five-pixel
// bar that moves one pixel per step and re-enters at the left edge. Drawn here
// as plain pixels so that the picture is the same on every platform and can be
// checked without a window.
#pragma once

#include <array>
#include <cstdint>

namespace tessar {

constexpr int kIndicatorSize = 16;
constexpr int kIndicatorFrames = 16;  // the frame counter runs 0..16
constexpr uint32_t kIndicatorWhite = 0xFFFFFF;
constexpr uint32_t kIndicatorUp = 0x008000;    // green: red 0, green 128, blue 0
constexpr uint32_t kIndicatorDown = 0xFF0000;  // red 255

// 0xRRGGBB per pixel, row by row from the top.
using IndicatorPixels = std::array<uint32_t, kIndicatorSize * kIndicatorSize>;

IndicatorPixels DrawIndicator(bool up, int32_t frame);

// The next frame: +1, and 0 when that exceeds 16.
int32_t NextIndicatorFrame(int32_t frame);

}  // namespace tessar
