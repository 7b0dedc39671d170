// What "fields" and "temp" print for a decoded image.
#include <cstdint>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "FlashLayout.h"
#include "Modes.h"

namespace {

void Put(std::string& image, std::size_t offset, std::uint32_t word, std::size_t bytes = 4) {
  for (std::size_t i = 0; i < bytes; ++i, word >>= 8) image[offset + i] = static_cast<char>(word & 0xFF);
}

FlashFields Decode(const std::string& image, const char* key) {
  FlashFields fields;
  decodeFlashFields(image, *findFlashLayout(key), fields);
  return fields;
}

std::string Printed(const std::function<void()>& print) {
  testing::internal::CaptureStdout();
  print();
  return testing::internal::GetCapturedStdout();
}

// A DKv6 image with a value in every field.
std::string Dkv6Image() {
  std::string image(2048, '\0');
  Put(image, 8, 1234);
  Put(image, 48, 100);
  Put(image, 52, static_cast<std::uint32_t>(-200));
  Put(image, 56, 0);
  Put(image, 1152, static_cast<std::uint32_t>(-67108));
  Put(image, 1156, 1);
  Put(image, 1160, 2);
  Put(image, 1168, 56371445);  // 0.42 of full gain
  Put(image, 1100, 1);
  Put(image, 1096, 1);
  Put(image, 1078, 1250, 2);
  Put(image, 1076, 7, 2);
  Put(image, 1400, 0x08000000);
  Put(image, 1384, 0x04000000);
  return image;
}

const std::string kDkv6Lines =
    "type: DKv6\nserial: 1234\ngyro bias X: 100\ngyro bias Y: -200\ngyro bias Z: 0\n"
    "gyro correction X: -67108\ngyro correction Y: 1\ngyro correction Z: 2\n"
    "magnetometer gain: 42\nmagnetometer channel: 1\ngyro calibration disable: 1\ntaring duration: 2 s\n"
    "warm up time: 7\nbias coefficient 1: 0.5\nbias coefficient 2: 0\nbias coefficient 3: 0\n"
    "bias coefficient 4: 0\nbias coefficient 5: 1\n";

TEST(FieldPrinting, EveryGenerationShowsItsFields) {
  std::string dkv4(512, '\0');
  Put(dkv4, 8, 77);
  Put(dkv4, 26, 0xC000, 2);
  Put(dkv4, 28, 0x8000, 2);
  Put(dkv4, 30, 5, 2);
  std::string dkv5(2048, '\0');
  Put(dkv5, 8, 0);
  Put(dkv5, 1168, 0x08000000);
  std::string calibrated = Dkv6Image();
  Put(calibrated, 216 + 16 * 26 + 2, 0xFFFF, 2);  // the second IT word of the last record
  std::string firstWordOnly = Dkv6Image();
  Put(firstWordOnly, 216, 5, 2);
  std::string halfway = Dkv6Image();
  Put(halfway, 1168, 671088);  // just below half a percent: rounds to 0
  Put(halfway, 1078, 499, 2);

  const struct {
    const char* what;
    std::string image;
    const char* key;
    std::string out;
  } cases[] = {
      {"DKv4", dkv4, "DKv4",
       "type: DKv4\nserial: 77\ngyro bias X: -16384\ngyro bias Y: -32768\ngyro bias Z: 5\n"
       "is temperature calibrated: WARNING: no temperature correction parameters were loaded\nno\n"},
      {"DKv5", dkv5, "DKv5",
       "type: DKv5\nserial: 0\ngyro bias X: 0\ngyro bias Y: 0\ngyro bias Z: 0\nmagnetometer gain: 100\n"
       "is temperature calibrated: WARNING: no temperature correction parameters were loaded\nno\n"},
      {"DKv6 without temperature calibration", Dkv6Image(), "DKv6", kDkv6Lines + "is temperature calibrated: no\n"},
      {"DKv6 with one second IT word", calibrated, "DKv6", kDkv6Lines + "is temperature calibrated: yes\n"},
      {"DKv6 with only a first IT word", firstWordOnly, "DKv6", kDkv6Lines + "is temperature calibrated: no\n"},
  };
  for (const auto& c : cases) {
    const FlashFields fields = Decode(c.image, c.key);
    EXPECT_EQ(Printed([&] { printFlashFields(fields, ""); }), c.out) << c.what;
  }

  const std::string out = Printed([&] { printFlashFields(Decode(halfway, "DKv6"), "  "); });
  EXPECT_NE(out.find("  magnetometer gain: 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  taring duration: 0 s\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nis temperature calibrated: no\n"), std::string::npos) << out;
}

TEST(TemperaturePrinting, RecordsOrAWarning) {
  std::string image = Dkv6Image();
  Put(image, 216, 12, 2);
  Put(image, 218, static_cast<std::uint32_t>(-3), 2);
  Put(image, 220, 100);
  Put(image, 228, static_cast<std::uint32_t>(-7));
  Put(image, 216 + 16 * 26, 0x7FFF, 2);
  Put(image, 216 + 16 * 26 + 12, 0x80000000);
  const std::string out = Printed([&] { printTemperatureCorrection(Decode(image, "DKv6")); });
  std::string expected;
  for (int k = 0; k < 27; ++k) {
    expected += "temperature correction parameter " + std::to_string(k) + "\n";
    if (k == 0)
      expected += "\tIT: [12, -3]\n\tKX: [100, 0, -7]\n";
    else if (k == 26)
      expected += "\tIT: [32767, 0]\n\tKX: [0, 0, -2147483648]\n";
    else
      expected += "\tIT: [0, 0]\n\tKX: [0, 0, 0]\n";
  }
  EXPECT_EQ(out, expected);

  // Generations without the block have no records to read.
  for (const char* key : {"DKv4", "DKv5"})
    EXPECT_EQ(Printed([&] { printTemperatureCorrection(Decode(std::string(2048, '\x5A'), key)); }),
              "WARNING: no temperature correction parameters were loaded\n")
        << key;
}

}  // namespace
