#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/ComPort.h"

namespace {

TEST(ComPortDevicePath, ComPortNamesMapToTheTtyDirectory) {
  setenv("QUENLITH_TTY_DIR", "/scratch", 1);
  const struct {
    const char* name;
    const char* path;
  } cases[] = {
      {"\\\\.\\COM7", "/scratch/ttyUSB7"},
      {"COM12", "/scratch/ttyUSB12"},
      {"/dev/ttyACM0", "/dev/ttyACM0"},
      {"COM", "COM"},
  };
  for (const auto& c : cases) EXPECT_EQ(Platform::ComPortDevicePath(c.name), c.path) << c.name;
  unsetenv("QUENLITH_TTY_DIR");
}

}  // namespace
