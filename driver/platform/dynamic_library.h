// Loading a shared library and looking up its exports by name.
#pragma once

#include <string>

namespace tessar::platform {

// The module handle, or null with the loader's reason in *error. The module
// stays loaded until the process ends.
void* LoadLibrary(const std::string& path, std::string* error);
// The export's address, or null when the module has no such name.
void* LibrarySymbol(void* module, const char* name);

}  // namespace tessar::platform
