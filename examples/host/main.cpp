// A minimal host program: loads the SDK, opens device set 1 of an INI file,
// prints what the hub reports and closes it again.
//
//   quenlith_host_example [ini-file [parameters]]

#include <cstdio>
#include <string>

#include "quenlith_sdk_lite.h"

int main(int argc, char** argv) {
  const char* ini = argc > 1 ? argv[1] : "example.ini";
  const char* parameters = argc > 2 ? argv[2] : nullptr;

  const int version = iQuenlith_SDK_Lite_GetVersion();
  std::printf("SDK version word %d (build %d)\n", version, version & 0xFFFF);
  std::printf("opening device set 1 of %s%s%s\n", ini, parameters ? " with " : "", parameters ? parameters : "");

  const int handle = iQuenlith_SDK_Lite_CreateDevice(1, ini, parameters);
  if (handle < 0) {
    std::printf("open failed; the reason is in ./quenlith_sdk_lite.txt\n");
    return 1;
  }
  char text[129] = {};
  const int hubLength = iQuenlith_SDK_Lite_GetHubId(handle, text, 128);
  std::printf("handle %d: hub \"%.*s\"\n", handle, hubLength, text);
  for (int address = 0; address < 255; ++address) {
    const int length = iQuenlith_SDK_Lite_GetSensorId(handle, address, text, 128);
    if (length > 0) std::printf("bus address %d: sensor \"%.*s\"\n", address, length, text);
  }
  iQuenlith_SDK_Lite_CloseDevice(handle);
  std::printf("closed\n");
  return 0;
}
