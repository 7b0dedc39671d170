// The exported flash image class on files and data.
#include <filesystem>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DorvekFlasher.h"
#include "ScratchDirectory.h"

namespace {

std::string Pattern(std::size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return bytes;
}

std::string ImageOf(Dorvek_Flasher& flasher) {
  std::string data;
  flasher.writeFlashToData(data);
  return data;
}

TEST(DorvekFlasher, ChangeBlockChecksBoundariesAndProtection) {
  const struct {
    unsigned start, end, length;
    bool force;
    const char* error;  // null: the block is copied
  } cases[] = {
      {504, 600, 96, false, nullptr},
      {503, 600, 97, false, "Attempt to write to the protected region of flash."},
      {503, 600, 97, true, nullptr},
      {0, 10, 10, false, "Attempt to write to the protected region of flash."},
      {400, 504, 104, false, "Attempt to write to the protected region of flash."},
      {648, 1024, 375, false, "Block length doesn't match block boundaries."},
      {600, 504, 96, false, "Block length doesn't match block boundaries."},
      {2000, 2049, 49, false, "Block boundaries do not fit into the flash size."},
      {2049, 2049, 0, false, "Block boundaries do not fit into the flash size."},
      {1000, 1000, 2049, false, "Block length greater then flash size."},
      {2048, 2048, 0, false, nullptr},
      {1072, 2044, 972, false, nullptr},
  };
  std::vector<unsigned char> data(2048);
  std::iota(data.begin(), data.end(), 0);
  for (const auto& c : cases) {
    Dorvek_Flasher flasher;
    ASSERT_TRUE(flasher.readFlashFromData(Pattern(2048)));
    std::string expected = Pattern(2048);
    const std::string what = std::to_string(c.start) + ".." + std::to_string(c.end) + " length " +
                             std::to_string(c.length) + (c.force ? " forced" : "");
    if (c.error) {
      // As a program written to the class's contract catches it: a pointer it owns.
      try {
        flasher.changeBlock(c.start, c.end, c.length, data.data(), c.force);
        ADD_FAILURE() << what << ": no error";
      } catch (std::runtime_error* thrown) {
        const std::unique_ptr<std::runtime_error> error(thrown);
        EXPECT_STREQ(error->what(), c.error) << what;
      } catch (...) {
        ADD_FAILURE() << what << ": not a pointer to a std::runtime_error";
      }
    } else {
      EXPECT_TRUE(flasher.changeBlock(c.start, c.end, c.length, data.data(), c.force)) << what;
      expected.replace(c.start, c.length, reinterpret_cast<const char*>(data.data()), c.length);
    }
    EXPECT_EQ(ImageOf(flasher), expected) << what;
  }
}

TEST(DorvekFlasher, DataMustMatchTheSize) {
  Dorvek_Flasher flasher;
  ASSERT_TRUE(flasher.readFlashFromData(Pattern(2048, 3)));
  EXPECT_FALSE(flasher.readFlashFromData(Pattern(2047, 5)));
  EXPECT_FALSE(flasher.readFlashFromData(Pattern(2049, 5)));
  EXPECT_EQ(ImageOf(flasher), Pattern(2048, 3));
}

TEST(DorvekFlasher, FilesRoundTripAndShortOrUnreadableFilesAreRefused) {
  ScratchDirectory scratch;
  Dorvek_Flasher flasher;
  ASSERT_TRUE(flasher.readFlashFromData(Pattern(2048, 9)));
  ASSERT_TRUE(flasher.writeFlashToFile("image.bin"));
  EXPECT_EQ(scratch.Read("image.bin"), Pattern(2048, 9));

  const struct {
    const char* what;
    std::string path;
    bool read;
  } cases[] = {
      {"the written file", "image.bin", true},
      {"a short file", "short.bin", false},
      {"an empty file", "empty.bin", false},
      {"a directory", "directory", false},
      {"a missing file", "missing.bin", false},
  };
  scratch.Write("short.bin", Pattern(2047, 2));
  scratch.Write("empty.bin", "");
  std::filesystem::create_directory(scratch.Path() / "directory");
  for (const auto& c : cases) {
    Dorvek_Flasher reader;
    ASSERT_TRUE(reader.readFlashFromData(Pattern(2048, 4)));
    EXPECT_EQ(reader.readFlashFromFile(c.path.c_str()), c.read) << c.what;
    EXPECT_EQ(ImageOf(reader), c.read ? Pattern(2048, 9) : Pattern(2048, 4)) << c.what;
  }

  EXPECT_FALSE(flasher.writeFlashToFile("directory"));
  EXPECT_FALSE(flasher.writeFlashToFile("missing-dir/image.bin"));
  // A write that cannot complete is no success.
  EXPECT_FALSE(flasher.writeFlashToFile("/dev/full"));
}

TEST(DorvekFlasher, CopiesAreIndependentValues) {
  Dorvek_Flasher original;
  ASSERT_TRUE(original.readFlashFromData(Pattern(2048, 1)));
  original.handle = 3;
  original.busAddress = 7;
  Dorvek_Flasher copy(original);
  unsigned char block[4] = {1, 2, 3, 4};
  original.changeBlock(600, 604, 4, block, false);
  EXPECT_EQ(ImageOf(copy), Pattern(2048, 1));
  EXPECT_EQ(copy.handle, 3);
  EXPECT_EQ(copy.busAddress, 7);
  ASSERT_EQ(copy.protectedRegions.size(), 1u);
  EXPECT_EQ(copy.protectedRegions[0], std::make_pair(503u, 0u));

  Dorvek_Flasher assigned;
  assigned = original;
  EXPECT_EQ(ImageOf(assigned), ImageOf(original));
  assigned = assigned;
  EXPECT_EQ(ImageOf(assigned), ImageOf(original));
  EXPECT_EQ(assigned.protectedRegions.size(), 1u);
}

// Without an open device the read fails and the size stays within the buffer.
TEST(DorvekFlasher, AFailedReadIsReported) {
  ScratchDirectory scratch;
  Dorvek_Flasher flasher;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(flasher.readFlash(42, 1));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "2048\n");
  EXPECT_LE(flasher.size, Dorvek_Flasher::kCapacity);
  EXPECT_EQ(flasher.handle, 42);
  EXPECT_EQ(flasher.busAddress, 1);
  EXPECT_FALSE(flasher.writeFlash());
}

}  // namespace
