#include "timing.h"

namespace zntlink {

InternalTiming& Timing() {
  static InternalTiming timing;
  return timing;
}

}  // namespace zntlink
