// The flash operations as pure functions of an image, a date or a file.
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "FlashOperations.h"
#include "ScratchDirectory.h"

namespace {

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 13 + 5) & 0xFF);
  return bytes;
}

std::uint32_t Word(const std::string& image, std::size_t offset, std::size_t bytes = 4) {
  std::uint32_t word = 0;
  for (std::size_t i = bytes; i-- > 0;) word = (word << 8) | static_cast<unsigned char>(image[offset + i]);
  return word;
}

// The byte offsets at which two images differ.
std::vector<std::size_t> Differences(const std::string& a, const std::string& b) {
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (a[i] != b[i]) offsets.push_back(i);
  return offsets;
}

std::vector<std::size_t> Range(std::size_t first, std::size_t count) {
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < count; ++i) offsets.push_back(first + i);
  return offsets;
}

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

TEST(FirmwareDate, TheLastThreeWordsAreMonthDayAndYear) {
  const struct {
    std::string identity;
    std::string date;  // ISO form, or the error text
    bool beforeCutOff;
  } cases[] = {
      {"DKv6 Sep 15 2017", "2017-09-15", false},
      {"DKv6 Sep 14 2017", "2017-09-14", true},
      {"QN DKv6 rev 3 Mar 12 2019", "2019-03-12", false},
      {"DKv4 Jan 1 2016", "2016-01-01", true},
      {"Dec 31 2099", "2099-12-31", false},
  };
  for (const auto& c : cases) {
    const auto date = parseFirmwareDate(c.identity);
    EXPECT_EQ(boost::gregorian::to_iso_extended_string(date), c.date) << c.identity;
    EXPECT_EQ(date.julian_day() < kLayoutCutOffJulianDay, c.beforeCutOff) << c.identity;
  }
  EXPECT_EQ(boost::gregorian::date(2017, 9, 15).julian_day(), kLayoutCutOffJulianDay);
}

TEST(FirmwareDate, MalformedIdentitiesAreRefused) {
  const struct {
    std::string identity;
    std::string error;
  } cases[] = {
      {"Sep 2017", "the version string is not formatted correctly"},
      {"DKv6", "the version string is not formatted correctly"},
      {"", "the version string is not formatted correctly"},
      {"DKv6 Sep  5 2017", "the firmware build date \"2017--5\" in the version string is not valid"},
      {"DKv6 Sep 31 2017", "the firmware build date \"2017-Sep-31\" in the version string is not valid"},
      {"DKv6 Foo 12 2017", "the firmware build date \"2017-Foo-12\" in the version string is not valid"},
      {"DKv6 Sep 12 2017 ", "the firmware build date \"-12-2017\" in the version string is not valid"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ErrorOf([&] { parseFirmwareDate(c.identity); }), c.error) << "'" << c.identity << "'";
}

TEST(BackupName, KeySerialDateAndTimeArePadded) {
  FlashFields fields;
  fields.type = "DKv6";
  fields.serial = 1234;
  const auto at = boost::posix_time::time_from_string("2024-03-07 09:05:41");
  EXPECT_EQ(makeBackupFileName(fields, at), "imu_flash_backup_dkv6_1234_2024_03_07_09_05_41.dat");
  fields.type = "DKv4";
  fields.serial = 0;
  EXPECT_EQ(makeBackupFileName(fields, boost::posix_time::time_from_string("2031-12-25 23:59:00")),
            "imu_flash_backup_dkv4_0_2031_12_25_23_59_00.dat");
  fields.serial = 4294967295u;
  EXPECT_EQ(makeBackupFileName(fields, at), "imu_flash_backup_dkv4_4294967295_2024_03_07_09_05_41.dat");
}

TEST(MinimizeDelays, OnlyDkv6WarmUpAndBiasCoefficientsChange) {
  const std::string original = Pattern(2048);
  std::string image = original;
  minimizeInitializationDelays("DKv6", image);
  std::vector<std::size_t> expected = Range(1076, 2);
  for (auto offset : Range(1384, 20)) expected.push_back(offset);
  // Bytes that already held the new value do not show as changed.
  std::vector<std::size_t> changed = Differences(original, image);
  for (auto offset : changed) EXPECT_NE(std::find(expected.begin(), expected.end(), offset), expected.end()) << offset;
  EXPECT_EQ(Word(image, 1076, 2), 0u);
  for (std::size_t offset : {1384, 1388, 1392, 1396}) EXPECT_EQ(Word(image, offset), 0u) << offset;
  EXPECT_EQ(Word(image, 1400), 0x08000000u);

  for (const char* key : {"DKv5", "DKv4", "dkv6", ""}) {
    std::string other = original;
    EXPECT_EQ(ErrorOf([&] { minimizeInitializationDelays(key, other); }),
              "the taring fields are only valid for DKv6 boards")
        << key;
    EXPECT_EQ(other, original) << key;
  }
}

TEST(LayoutUpgrade, HeaderWordsAndTwoBlocksComeFromTheTemplate) {
  const std::string original = Pattern(2048);
  std::string upgraded;
  testing::internal::CaptureStdout();
  upgradeFlashLayout(original, upgraded);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Flash read.\nFlash update written.\n");
  ASSERT_EQ(upgraded.size(), 2048u);

  // Untouched ranges keep their bytes.
  for (const auto& [first, end] : std::vector<std::pair<std::size_t, std::size_t>>{
           {6, 12}, {14, 648}, {1024, 1072}, {2044, 2048}})
    EXPECT_EQ(upgraded.substr(first, end - first), original.substr(first, end - first)) << first;

  EXPECT_EQ(Word(upgraded, 0), 65536000u);
  EXPECT_EQ(Word(upgraded, 4, 2), 2000u);
  EXPECT_EQ(Word(upgraded, 12, 2), 96u);

  const struct {
    std::size_t offset;
    std::uint32_t word;
  } words[] = {
      {972, 0x001CAC08}, {976, 0x000C49BA}, {980, 0x00147AE1}, {1072, 0x00083127}, {1076, 0x03E80001},
      {1080, 100},       {1084, 16},        {1092, 0x0010624E}, {1096, 0},         {1100, 0},
      {1116, 0x08000000}, {1132, 0x08000000}, {1148, 0x08000000}, {1152, 0},       {1164, 0x08000000},
      {1168, 0},         {1180, 0x08000000}, {1196, 0x08000000}, {1324, 0xFCB29513}, {1340, 0x008A25FE},
      {1356, 0x01144BFB}, {1372, 0x008A25FE}, {1380, 0x008A25FE}, {1384, 0},        {1400, 0x08000000},
      {1404, 0xF801D1AA}, {1408, 0x0FFE2E21}, {1412, 13},        {1416, 26},        {1420, 13},
      {1424, 0},         {2040, 0},         {648, 0},          {968, 0},
  };
  for (const auto& w : words) EXPECT_EQ(Word(upgraded, w.offset), w.word) << w.offset;
  // Every other byte of both blocks is zero: 41 template words, six of them zero.
  std::size_t nonZeroWords = 0;
  for (std::size_t offset = 648; offset < 2044; offset += 4)
    if ((offset < 1024 || offset >= 1072) && Word(upgraded, offset) != 0) ++nonZeroWords;
  EXPECT_EQ(nonZeroWords, 35u);
}

TEST(LayoutUpgrade, OnlyAWholeImageIsUpgraded) {
  for (std::size_t size : {0, 512, 2047, 2049}) {
    std::string upgraded = "untouched";
    testing::internal::CaptureStdout();
    EXPECT_EQ(ErrorOf([&] { upgradeFlashLayout(Pattern(size), upgraded); }), "Flash read error.") << size;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << size;
    EXPECT_EQ(upgraded, "untouched") << size;
  }
}

// Each setter changes exactly its own field's bytes, encoded as the layout says.
TEST(FieldSetters, ChangeOnlyTheirOwnField) {
  const std::string original(2048, '\x11');
  const struct {
    const char* what;
    std::string key;
    std::function<void(const std::string&, std::string&)> set;
    std::vector<std::pair<std::size_t, std::uint32_t>> words;  // offset, expected 32-bit word
    std::string warning;
  } cases[] = {
      {"bias on DKv6", "DKv6", [](auto& k, auto& i) { setGyroBias(100 / 134217728.0, -200 / 134217728.0, 0, k, i); },
       {{48, 100}, {52, static_cast<std::uint32_t>(-200)}, {56, 0}}, ""},
      {"correction on DKv6", "DKv6", [](auto& k, auto& i) { setGyroCorrection(-0.001, 0, 1.0 / 67108864.0, k, i); },
       {{1152, static_cast<std::uint32_t>(-67108)}, {1156, 0}, {1160, 1}}, ""},
      {"gain on DKv6", "DKv6", [](auto& k, auto& i) { setMagnetometerGain(0.42, k, i); }, {{1168, 56371445}}, ""},
      {"gain on DKv5", "DKv5", [](auto& k, auto& i) { setMagnetometerGain(1.0, k, i); }, {{1168, 0x08000000}}, ""},
      {"channel on DKv6", "DKv6", [](auto& k, auto& i) { setMagnetometerChannel(1, k, i); }, {{1100, 1}}, ""},
      {"disable on DKv6", "DKv6", [](auto& k, auto& i) { setHardwareGyroCalibrationDisable(1, k, i); }, {{1096, 1}}, ""},
      {"channel on DKv5", "DKv5", [](auto& k, auto& i) { setMagnetometerChannel(1, k, i); }, {},
       "WARNING: the current device does not expose the magnetometer channel in the flash\n"},
      {"disable on DKv4", "DKv4", [](auto& k, auto& i) { setHardwareGyroCalibrationDisable(1, k, i); }, {},
       "WARNING: the current device does not support the hardware gyro calibration\n"},
      {"unknown key", "DKv9", [](auto& k, auto& i) { setMagnetometerGain(0.5, k, i); }, {}, ""},
  };
  for (const auto& c : cases) {
    std::string image = original;
    testing::internal::CaptureStdout();
    c.set(c.key, image);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.warning) << c.what;
    std::vector<std::size_t> expected;
    for (const auto& [offset, word] : c.words) {
      EXPECT_EQ(Word(image, offset), word) << c.what << " at " << offset;
      for (std::size_t i = 0; i < 4; ++i)
        if (static_cast<unsigned char>(word >> (8 * i)) != 0x11) expected.push_back(offset + i);
    }
    EXPECT_EQ(Differences(original, image), expected) << c.what;
  }

  // The taring duration is a 16-bit word.
  std::string image = original;
  setHardwareGyroCalibrationDuration(65500, "DKv6", image);
  EXPECT_EQ(Differences(original, image), Range(1078, 2));
  EXPECT_EQ(Word(image, 1078, 2), 65500u);
}

TEST(Files, AFileIsCompleteOrAbsent) {
  ScratchDirectory scratch;
  const std::string image = Pattern(2048);
  writeFileAtomically("backup.dat", image, "failed");
  EXPECT_EQ(scratch.Read("backup.dat"), image);
  writeFileAtomically("backup.dat", "new", "failed");
  EXPECT_EQ(scratch.Read("backup.dat"), "new");

  // A name taken by a directory cannot become the file.
  std::filesystem::create_directories(scratch.Path() / "taken.dat" / "inside");
  EXPECT_EQ(ErrorOf([&] { writeFileAtomically("taken.dat", image, "failed"); }), "failed");
  EXPECT_TRUE(std::filesystem::is_directory(scratch.Path() / "taken.dat"));
  EXPECT_EQ(ErrorOf([&] { writeFileAtomically("missing-dir/backup.dat", image, "failed"); }), "failed");
  EXPECT_EQ(ErrorOf([&] { writeWholeFile("/dev/full", image, "full"); }), "full");
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));

  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(scratch.Path()))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"backup.dat", "taken.dat"}));
}

}  // namespace
