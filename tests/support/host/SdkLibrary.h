#pragma once

#include <string>

#include "quenlith_sdk_lite.h"

// The SDK as a foreign host sees it: the shared library loaded at run time and
// its eleven entry points looked up by name.
class SdkLibrary {
 public:
  explicit SdkLibrary(const std::string& path = QUENLITH_SDK_LIBRARY);
  ~SdkLibrary();

  SdkLibrary(const SdkLibrary&) = delete;
  SdkLibrary& operator=(const SdkLibrary&) = delete;

  decltype(&iQuenlith_SDK_Lite_GetVersion) GetVersion;
  decltype(&iQuenlith_SDK_Lite_CreateDevice) CreateDevice;
  decltype(&iQuenlith_SDK_Lite_CloseDevice) CloseDevice;
  decltype(&iQuenlith_SDK_Lite_SetReceiveDataCallback) SetReceiveDataCallback;
  decltype(&iQuenlith_SDK_Lite_ProcessData) ProcessData;
  decltype(&iQuenlith_SDK_Lite_Reset) Reset;
  decltype(&iQuenlith_SDK_Lite_SendImplementationSpecificCommand) SendImplementationSpecificCommand;
  decltype(&iQuenlith_SDK_Lite_GetHubId) GetHubId;
  decltype(&iQuenlith_SDK_Lite_GetSensorId) GetSensorId;
  decltype(&iQuenlith_SDK_Lite_GetSensorFlash) GetSensorFlash;
  decltype(&iQuenlith_SDK_Lite_SetSensorFlash) SetSensorFlash;

 private:
  void* Symbol(const char* name) const;

  void* handle_;
};
