// Discovery of the USB serial adapter's COM port from a sysfs tree laid out as
// the kernel lays it out.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConnectionManager.h"
#include "FakeSysfs.h"
#include "ScratchDirectory.h"

namespace {

using Lumeth::Core::SensorLibrary::CConnectionManager;
using Lumeth::Core::SensorLibrary::PortDescription;

struct Found {
  std::string name;
  int comNumber;
  std::string friendlyName;

  bool operator==(const Found& other) const {
    return name == other.name && comNumber == other.comNumber && friendlyName == other.friendlyName;
  }
};

std::ostream& operator<<(std::ostream& out, const Found& found) {
  return out << "{" << found.name << ", COM" << found.comNumber << ", " << found.friendlyName << "}";
}

class PortDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUENLITH_SYSFS_ROOT", (scratch.Path() / "sys").c_str(), 1);
    setenv("QUENLITH_TTY_DIR", (scratch.Path() / "dev").c_str(), 1);
  }

  // The tool's three adapters, scanned once.
  static std::vector<PortDescription> Scan(CConnectionManager& manager) {
    manager.registerDevice("Quenlith", 0x0403, 0x6001);
    manager.registerDevice("Torvel Unified", 0x0403, 0x7B6A);
    manager.registerDevice("Marvessa", 0x0403, 0x7B6B);
    manager.scanDevices();
    std::vector<PortDescription> found;
    manager.getFoundDevices(found);
    return found;
  }

  static std::vector<Found> Summary(const std::vector<PortDescription>& found) {
    std::vector<Found> summary;
    for (const auto& entry : found) summary.push_back({entry.name, entry.comNumber, entry.friendlyName});
    return summary;
  }

  ScratchDirectory scratch;
};

TEST_F(PortDiscovery, FindsTheRegisteredAdaptersAmongOtherDevices) {
  const struct {
    const char* what;
    std::vector<FakeUsbTty> ttys;
    std::vector<Found> expected;  // in name order
  } cases[] = {
      {"no adapter", {}, {}},
      {"one adapter",
       {{"ttyUSB7", kFtdiVendor, kQuenlithProduct, "FT232R USB UART"}},
       {{"Quenlith", 7, "FT232R USB UART (ttyUSB7)"}}},
      {"an adapter without a product text",
       {{"ttyUSB0", kFtdiVendor, kMarvessaProduct, ""}},
       {{"Marvessa", 0, "USB Serial Port (ttyUSB0)"}}},
      {"two kinds, listed by name",
       {{"ttyUSB0", kFtdiVendor, kQuenlithProduct, "A"}, {"ttyUSB2", kFtdiVendor, kMarvessaProduct, "B"}},
       {{"Marvessa", 2, "B (ttyUSB2)"}, {"Quenlith", 0, "A (ttyUSB0)"}}},
      {"two of one kind fill one entry with the higher port",
       {{"ttyUSB12", kFtdiVendor, kTorvelProduct, "T"}, {"ttyUSB3", kFtdiVendor, kTorvelProduct, "T"}},
       {{"Torvel Unified", 12, "T (ttyUSB12)"}}},
      {"a registered chip behind a tty without a COM number",
       {{"ttyACM3", kFtdiVendor, kQuenlithProduct, "FT232R USB UART"}},
       {}},
      {"another product of the vendor", {{"ttyUSB1", kFtdiVendor, 0x6015, "FT231X"}}, {}},
  };
  for (const auto& c : cases) {
    const auto root = scratch.Path() / "sys";
    std::filesystem::remove_all(root);
    MakeFakeSysfs(root, c.ttys);
    CConnectionManager manager;
    EXPECT_EQ(Summary(Scan(manager)), c.expected) << c.what;
  }
}

TEST_F(PortDiscovery, EntriesCarryThePortOfTheirTty) {
  MakeFakeSysfs(scratch.Path() / "sys", {{"ttyUSB4", kFtdiVendor, kTorvelProduct, "X"}});
  CConnectionManager manager;
  const auto found = Scan(manager);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].portName, (scratch.Path() / "dev" / "ttyUSB4").string());
  EXPECT_EQ(found[0].vendorId, 0x0403u);
  EXPECT_EQ(found[0].productId, 0x7B6Au);
}

TEST_F(PortDiscovery, AMissingOrEmptyTreeFindsNothing) {
  CConnectionManager manager;
  EXPECT_TRUE(Scan(manager).empty());  // no sys directory at all
  std::filesystem::create_directories(scratch.Path() / "sys");
  EXPECT_TRUE(Scan(manager).empty());
}

// Each scan starts afresh: an adapter unplugged since the last scan is gone.
TEST_F(PortDiscovery, ARescanForgetsUnpluggedAdapters) {
  const auto root = scratch.Path() / "sys";
  MakeFakeSysfs(root, {{"ttyUSB1", kFtdiVendor, kQuenlithProduct, "Q"}});
  CConnectionManager manager;
  EXPECT_EQ(Scan(manager).size(), 1u);
  std::filesystem::remove_all(root);
  MakeFakeSysfs(root, {});
  EXPECT_TRUE(Scan(manager).empty());
}

// An entry with vendor id 0 stands for something always present.
TEST_F(PortDiscovery, AnEntryWithoutVendorIsAlwaysFound) {
  MakeFakeSysfs(scratch.Path() / "sys", {});
  CConnectionManager manager;
  manager.registerDevice("virtual", 0, 0);
  manager.scanDevices();
  std::vector<PortDescription> found;
  manager.getFoundDevices(found);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, "virtual");
  EXPECT_EQ(found[0].comNumber, 0);
}

}  // namespace
