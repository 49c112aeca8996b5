#include "platform/dynamic_library.h"

#include <dlfcn.h>

namespace tessar::platform {

void* LoadLibrary(const std::string& path, std::string* error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr && error != nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "unknown error";
  }
  return module;
}

void* LibrarySymbol(void* module, const char* name) {
  return module != nullptr ? dlsym(module, name) : nullptr;
}

}  // namespace tessar::platform
