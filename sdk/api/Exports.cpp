// The library's C boundary: every call is looked up here, every exception ends
// here, and every failure becomes the function's failure value.

#include <algorithm>
#include <cstring>
#include <vector>

#include "api/LibraryContext.h"
#include "api/QuenlithSdkLite.h"
#include "api/quenlith_sdk_lite.h"
#include "common/Log.h"
#include "communication/qn/Hub.h"

namespace {

using Communication::Device::QN::Bytes;

// Runs body, turning any exception into a log record and the failure value.
template <class Result, class Body>
Result Guarded(const char* function, Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    try {
      QLOG(error) << function << " failed: " << e.what();
    } catch (...) {
    }
  } catch (...) {
    try {
      QLOG(error) << function << " failed";
    } catch (...) {
    }
  }
  return failure;
}

// The main set of an open handle, kept alive for the call; a set whose reset
// could not reopen it counts as not open.
struct OpenSet {
  std::shared_ptr<CQuenlith_SDK_Lite> kept;
  CQuenlith_SDK_Lite* main = nullptr;

  explicit OpenSet(int handle) {
    if (auto* context = LibraryContext::Get()) kept = context->FindMain(handle);
    if (kept && kept->GetDevice() && kept->GetProcessing()) main = kept.get();
  }
  explicit operator bool() const { return main != nullptr; }

  std::shared_ptr<Communication::Device::QN::CHub> QnHub() const {
    return std::dynamic_pointer_cast<Communication::Device::QN::CHub>(main->GetDevice());
  }
};

int CopyText(const std::string& text, char* buffer, int length) {
  if (!buffer || length <= 0) return 0;
  const auto count = std::min(text.size(), static_cast<std::size_t>(length));
  std::memcpy(buffer, text.data(), count);
  return static_cast<int>(count);
}

}  // namespace

extern "C" {

int iQuenlith_SDK_Lite_GetVersion(void) { return CLibraryContext::kVersion; }

int iQuenlith_SDK_Lite_CreateDevice(int workset, const char* iniFile, const char* parameters) {
  return Guarded(__func__, -1, [&] {
    auto* context = LibraryContext::Get();
    return context ? context->CreateDevice(workset, iniFile, parameters) : -1;
  });
}

bool iQuenlith_SDK_Lite_CloseDevice(int handle) {
  return Guarded(__func__, false, [&] {
    auto* context = LibraryContext::Get();
    return context && context->CloseDevice(handle);
  });
}

bool iQuenlith_SDK_Lite_SetReceiveDataCallback(int handle, ReceiveDataCallback callback, void* user) {
  return Guarded(__func__, true, [&] {
    if (auto* context = LibraryContext::Get()) {
      const auto sets = context->Find(handle);
      if (!sets.empty()) sets.front()->SetReceiveDataCallback(callback, user);
    }
    return true;
  });
}

bool iQuenlith_SDK_Lite_ProcessData(int handle, void* buffer) {
  return Guarded(__func__, false, [&] {
    const OpenSet set(handle);
    if (!set || !buffer || set.main->GetDevice()->GetId().find("Emulator") == std::string::npos) return false;
    // The emulator's manager reads the raw frame before it writes the output
    // frame over it, so the one buffer serves as both.
    return set.main->GetProcessing()->Process(buffer, buffer);
  });
}

bool iQuenlith_SDK_Lite_Reset(int handle, int mode, int) {
  return Guarded(__func__, false, [&] {
    auto* context = LibraryContext::Get();
    const auto sets = context ? context->Find(handle) : CLibraryContext::DeviceSets{};
    if (sets.empty()) return false;
    auto& main = *sets.front();
    if (mode == 0) {
      main.Stop();
      const auto parameters = main.GetParameters();
      main.Open(parameters);
    } else if (mode == 2 && main.GetProcessing()) {
      const int resetMode = 2;
      main.GetProcessing()->Configure(main.GetParameters(), &resetMode);
    }
    return true;
  });
}

bool iQuenlith_SDK_Lite_SendImplementationSpecificCommand(int handle, const char* command, void* input,
                                                          void* output) {
  return Guarded(__func__, false, [&] {
    const OpenSet set(handle);
    if (!set || !command) return false;
    return set.main->GetProcessing()->ExecuteCommand(std::string(command), input, output);
  });
}

int iQuenlith_SDK_Lite_GetHubId(int handle, char* buffer, int length) {
  return Guarded(__func__, 0, [&] {
    const OpenSet set(handle);
    return set ? CopyText(set.main->GetDevice()->GetId(), buffer, length) : 0;
  });
}

int iQuenlith_SDK_Lite_GetSensorId(int handle, int address, char* buffer, int length) {
  return Guarded(__func__, 0, [&] {
    const OpenSet set(handle);
    const auto hub = set ? set.QnHub() : nullptr;
    if (!hub || !buffer || length <= 0) return 0;
    return CopyText(hub->GetSensorId(address), buffer, length);
  });
}

bool iQuenlith_SDK_Lite_GetSensorFlash(int handle, int address, char* buffer, unsigned int* length) {
  return Guarded(__func__, false, [&] {
    const OpenSet set(handle);
    const auto hub = set ? set.QnHub() : nullptr;
    if (!hub || !length) return false;
    const Bytes image = hub->GetSensorFlash(address);
    if (image.empty()) return false;
    const unsigned int room = *length;
    *length = static_cast<unsigned int>(image.size());
    if (!buffer || room < image.size()) return false;
    std::memcpy(buffer, image.data(), image.size());
    return true;
  });
}

bool iQuenlith_SDK_Lite_SetSensorFlash(int handle, int address, const unsigned char* data, int length) {
  return Guarded(__func__, false, [&] {
    const OpenSet set(handle);
    const auto hub = set ? set.QnHub() : nullptr;
    if (!hub || !data || length <= 0) return false;
    if (!hub->SetSensorFlash(address, Bytes(data, data + length))) return false;
    // The models reload their calibration from the image just written.
    set.main->GetProcessing()->Configure(set.main->GetParameters(), nullptr);
    return true;
  });
}

}  // extern "C"
