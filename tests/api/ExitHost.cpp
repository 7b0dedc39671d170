// A host that loads the SDK at run time, opens the device sets its arguments
// describe and returns from main with them still open, as a script host that
// never cleans up does; with "unload" it unloads the library first.
// Usage: sdk_exit_host keep|unload <library> <parameter text>...; exit status 2
// when a set does not open, 3 when the library cannot be used.

#include <cstring>

#include <dlfcn.h>

#include "quenlith_sdk_lite.h"

int main(int argc, char** argv) {
  if (argc < 3) return 3;
  const bool unload = std::strcmp(argv[1], "unload") == 0;
  void* library = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
  if (!library) return 3;
  const auto create = reinterpret_cast<decltype(&iQuenlith_SDK_Lite_CreateDevice)>(
      dlsym(library, "iQuenlith_SDK_Lite_CreateDevice"));
  if (!create) return 3;
  for (int i = 3; i < argc; ++i)
    if (create(1, "none.ini", argv[i]) < 0) return 2;
  if (unload) dlclose(library);
  return 0;
}
