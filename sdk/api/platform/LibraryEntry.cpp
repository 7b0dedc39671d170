// The library's process attach and detach: it lives from being loaded into a
// process until it is unloaded or the process ends.

#include "api/LibraryContext.h"

namespace {

// Nothing may escape into the loader; a library whose context could not be made
// answers every call with its failure value.
__attribute__((constructor)) void OnLoad() {
  try {
    LibraryContext::Attach();
  } catch (...) {
  }
}

__attribute__((destructor)) void OnUnload() {
  try {
    LibraryContext::Detach();
  } catch (...) {
  }
}

}  // namespace
