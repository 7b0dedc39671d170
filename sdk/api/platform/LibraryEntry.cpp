// The library's process attach and detach: it lives from being loaded into a
// process until it is unloaded or the process ends.

#include <cstdlib>

#include "api/LibraryContext.h"

namespace {

void OnProcessExit() {
  try {
    LibraryContext::Detach();
  } catch (...) {
  }
}

// Nothing may escape into the loader; a library whose context could not be made
// answers every call with its failure value.
__attribute__((constructor)) void OnLoad() {
  try {
    LibraryContext::Attach();
    // At process exit the runtime destroys the static objects of every loaded
    // library, the logging library's thread storage among them, before it runs
    // any library's destructor; a stream thread still logging then dies. Exit
    // handlers run in reverse order of registration, and this one comes after
    // the context's first record made those statics, so the device sets close
    // while everything their threads use is still there. Unloading the library
    // runs it too, before OnUnload.
    std::atexit(OnProcessExit);
  } catch (...) {
  }
}

__attribute__((destructor)) void OnUnload() { OnProcessExit(); }

}  // namespace
