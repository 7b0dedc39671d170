#include <exception>
#include <iostream>

#include "CommandLine.h"
#include "quenlith_sdk_lite.h"

namespace {

// The SDK entry points the tool is bound to when it is loaded, so that it does
// not start without the library, whether or not a run reaches a sensor.
[[maybe_unused]] __attribute__((used)) void* const kSdkImports[] = {
    reinterpret_cast<void*>(&iQuenlith_SDK_Lite_CreateDevice),
    reinterpret_cast<void*>(&iQuenlith_SDK_Lite_GetSensorId),
    reinterpret_cast<void*>(&iQuenlith_SDK_Lite_GetSensorFlash),
    reinterpret_cast<void*>(&iQuenlith_SDK_Lite_SetSensorFlash),
    reinterpret_cast<void*>(&iQuenlith_SDK_Lite_SetReceiveDataCallback),
    reinterpret_cast<void*>(&iQuenlith_SDK_Lite_CloseDevice),
};

}  // namespace

// Every failure, from parsing or from the mode, ends as one "ERROR: " line on
// standard output and exit status 1; standard error stays silent.
int main(int argc, char* argv[]) {
  try {
    CommandLine commandLine;
    commandLine.registerOptions();
    parseCommandLine(argc, argv, commandLine);
    runSelectedModes(commandLine);
    return 0;
  } catch (const std::exception& e) {
    std::cout << "ERROR: " << e.what() << std::endl;
  } catch (...) {
    // Left to the runtime, a stray throw would abort with a note on standard error.
    std::cout << "ERROR: unexpected failure" << std::endl;
  }
  return 1;
}
