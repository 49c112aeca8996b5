#include <windows.h>

#include "platform/debug_output.h"

namespace zntlink {

// The debugger's output, where a debugger or a debug viewer shows it.
void WriteSystemDebugChannel(const char* text) {
  OutputDebugStringA(text);
}

}  // namespace zntlink
