#include "frame/indicator.h"

#include <cstddef>

namespace tessar {
namespace {

// The outline rectangle (left 0, top 3, right 16, bottom 15, right and bottom
// exclusive) with a 2-pixel pen centred on its path: each edge covers the
// pixel line it lies on and the one before it, clipped to the picture.
constexpr int kLeft = 0;
constexpr int kTop = 3;
constexpr int kRight = 16;
constexpr int kBottom = 15;
constexpr int kBarTop = 5;
constexpr int kBarBottom = 12;  // exclusive
constexpr int kBarWidth = 5;

void Put(IndicatorPixels& pixels, int x, int y, uint32_t colour) {
  if (x >= 0 && x < kIndicatorSize && y >= 0 && y < kIndicatorSize)
    pixels[static_cast<size_t>(y * kIndicatorSize + x)] = colour;
}

}  // namespace

IndicatorPixels DrawIndicator(bool up, int32_t frame) {
  IndicatorPixels pixels;
  pixels.fill(kIndicatorWhite);
  const uint32_t colour = up ? kIndicatorUp : kIndicatorDown;
  const int lastX = kRight - 1;
  const int lastY = kBottom - 1;
  for (int offset = -1; offset <= 0; ++offset) {
    for (int x = kLeft - 1; x <= lastX; ++x) {
      Put(pixels, x, kTop + offset, colour);
      Put(pixels, x, lastY + offset, colour);
    }
    for (int y = kTop - 1; y <= lastY; ++y) {
      Put(pixels, kLeft + offset, y, colour);
      Put(pixels, lastX + offset, y, colour);
    }
  }
  for (int i = 0; i < kBarWidth; ++i) {
    int x = frame + i;
    if (x > kIndicatorFrames)
      x -= kIndicatorFrames;
    for (int y = kBarTop; y < kBarBottom; ++y)
      Put(pixels, x, y, colour);
  }
  return pixels;
}

int32_t NextIndicatorFrame(int32_t frame) {
  const int32_t next = frame + 1;
  return next > kIndicatorFrames ? 0 : next;
}

}  // namespace tessar
