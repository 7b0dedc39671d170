#include "SdkLibrary.h"

#include <dlfcn.h>

#include <stdexcept>

SdkLibrary::SdkLibrary(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
  if (!handle_) throw std::runtime_error(std::string("cannot load the SDK: ") + dlerror());
  GetVersion = reinterpret_cast<decltype(GetVersion)>(Symbol("iQuenlith_SDK_Lite_GetVersion"));
  CreateDevice = reinterpret_cast<decltype(CreateDevice)>(Symbol("iQuenlith_SDK_Lite_CreateDevice"));
  CloseDevice = reinterpret_cast<decltype(CloseDevice)>(Symbol("iQuenlith_SDK_Lite_CloseDevice"));
  SetReceiveDataCallback =
      reinterpret_cast<decltype(SetReceiveDataCallback)>(Symbol("iQuenlith_SDK_Lite_SetReceiveDataCallback"));
  ProcessData = reinterpret_cast<decltype(ProcessData)>(Symbol("iQuenlith_SDK_Lite_ProcessData"));
  Reset = reinterpret_cast<decltype(Reset)>(Symbol("iQuenlith_SDK_Lite_Reset"));
  SendImplementationSpecificCommand = reinterpret_cast<decltype(SendImplementationSpecificCommand)>(
      Symbol("iQuenlith_SDK_Lite_SendImplementationSpecificCommand"));
  GetHubId = reinterpret_cast<decltype(GetHubId)>(Symbol("iQuenlith_SDK_Lite_GetHubId"));
  GetSensorId = reinterpret_cast<decltype(GetSensorId)>(Symbol("iQuenlith_SDK_Lite_GetSensorId"));
  GetSensorFlash = reinterpret_cast<decltype(GetSensorFlash)>(Symbol("iQuenlith_SDK_Lite_GetSensorFlash"));
  SetSensorFlash = reinterpret_cast<decltype(SetSensorFlash)>(Symbol("iQuenlith_SDK_Lite_SetSensorFlash"));
}

SdkLibrary::~SdkLibrary() { dlclose(handle_); }

void* SdkLibrary::Symbol(const char* name) const {
  void* symbol = dlsym(handle_, name);
  if (!symbol) {
    dlclose(handle_);
    throw std::runtime_error(std::string("the SDK lacks ") + name);
  }
  return symbol;
}
