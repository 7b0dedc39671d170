#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "ScratchDirectory.h"
#include "SdkLibrary.h"

namespace {

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    // No test may reach a real serial port.
    setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1);
    sdk = std::make_unique<SdkLibrary>();
  }

  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    std::istringstream log(scratch.Read("quenlith_sdk_lite.txt"));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
  }

  // Whether some record of the log ends in "<severity> message".
  bool Logged(const std::string& severityAndMessage) const {
    for (const auto& line : LogLines())
      if (line.size() >= severityAndMessage.size() &&
          line.compare(line.size() - severityAndMessage.size(), std::string::npos, severityAndMessage) == 0)
        return true;
    return false;
  }

  ScratchDirectory scratch;
  std::unique_ptr<SdkLibrary> sdk;
};

const std::regex kRecord(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6}\] 0x[0-9a-f]+: <(trace|debug|info|warning|error|fatal)> .*)");

TEST_F(Host, LoadingWritesTheVersionRecordFirst) {
  EXPECT_EQ(sdk->GetVersion(), 199039);
  const auto lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(std::regex_match(lines[0], kRecord)) << lines[0];
  EXPECT_TRUE(std::regex_match(
      lines[0], std::regex(R"(\[[^\]]+\] 0x[0-9a-f]+: <info> using sdk lite version 2\.0\.3\.2431)")))
      << lines[0];
}

TEST_F(Host, ReloadingRewritesTheLog) {
  sdk->CreateDevice(1, "missing.ini", "debugOutputLevel=0");
  ASSERT_GT(LogLines().size(), 1u);
  sdk.reset();
  ASSERT_EQ(dlopen(QUENLITH_SDK_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library stayed loaded";
  sdk = std::make_unique<SdkLibrary>();
  const auto lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("<info> using sdk lite version 2.0.3.2431"), std::string::npos);
}

TEST_F(Host, ExportsExactlyTheElevenEntryPoints) {
  const std::string command = std::string(NM_TOOL) + " -D --defined-only " + QUENLITH_SDK_LIBRARY;
  std::unique_ptr<FILE, int (*)(FILE*)> nm(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(nm);
  std::set<std::string> exported;
  char line[1024];
  while (fgets(line, sizeof line, nm.get())) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) exported.insert(name);
  }
  const std::set<std::string> expected = {
      "iQuenlith_SDK_Lite_GetVersion",     "iQuenlith_SDK_Lite_CreateDevice",
      "iQuenlith_SDK_Lite_CloseDevice",    "iQuenlith_SDK_Lite_SetReceiveDataCallback",
      "iQuenlith_SDK_Lite_ProcessData",    "iQuenlith_SDK_Lite_Reset",
      "iQuenlith_SDK_Lite_SendImplementationSpecificCommand",
      "iQuenlith_SDK_Lite_GetHubId",       "iQuenlith_SDK_Lite_GetSensorId",
      "iQuenlith_SDK_Lite_GetSensorFlash", "iQuenlith_SDK_Lite_SetSensorFlash",
  };
  EXPECT_EQ(exported, expected);
}

struct OpenFailure {
  const char* name;
  const char* ini;  // written as "test.ini" unless null
  int workset;
  const char* parameters;
  std::vector<std::string> logged;
};

TEST_F(Host, FailedOpensReturnMinusOneAndSayWhy) {
  const std::vector<OpenFailure> cases = {
      {"no ini file, unknown device", nullptr, 1, "device=nonsense;com=250;debugOutputLevel=0",
       {"<warning> ini file loading failed: test.ini", "<error> coudn't find device by id"}},
      {"ini without the section", "[worksetnode_2]\ndevice=usbcu\n", 1, "debugOutputLevel=0",
       {"<error> coudn't find device by id"}},
      {"unreadable ini", "[worksetnode_1\ndevice=usbcu\n", 1, "debugOutputLevel=0",
       {"<warning> ini file loading failed: test.ini"}},
      {"missing dependency section", "[worksetnode_1]\ndependencies=helper\ndebugOutputLevel=0\n", 1, nullptr, {}},
      {"blank dependencies", "[worksetnode_1]\ndependencies= \t \ndebugOutputLevel=0\n", 1, nullptr,
       {"<error> coudn't find device by id"}},
      {"malformed parameter text", nullptr, 3, "debugOutputLevel=0;;=;device;com=1=2;=x",
       {"<error> coudn't find device by id"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove("test.ini");
    if (c.ini) scratch.Write("test.ini", c.ini);
    EXPECT_EQ(sdk->CreateDevice(c.workset, "test.ini", c.parameters), -1);
    for (const auto& line : c.logged) EXPECT_TRUE(Logged(line)) << line;
    scratch.Write("quenlith_sdk_lite.txt", "");
  }
}

// Only a regular file is read as INI text: a FIFO would block the open for
// ever and a device like /dev/zero would be read without end.
TEST_F(Host, AnIniPathThatIsNoRegularFileIsRefusedAsUnreadable) {
  scratch.Write("real.ini", "[worksetnode_1]\ndevice=emulator\n");
  std::filesystem::create_symlink("real.ini", scratch.Path() / "linked.ini");
  ASSERT_EQ(mkfifo((scratch.Path() / "fifo.ini").c_str(), 0600), 0);
  std::filesystem::create_directory(scratch.Path() / "directory.ini");
  for (const std::string path : {"fifo.ini", "/dev/zero", "directory.ini"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(sdk->CreateDevice(1, path.c_str(), "debugOutputLevel=0"), -1);
    EXPECT_TRUE(Logged("<warning> ini file loading failed: " + path));
  }
  const int handle = sdk->CreateDevice(1, "linked.ini", "debugOutputLevel=0");
  EXPECT_GE(handle, 0) << "a link to a regular file is read";
  EXPECT_FALSE(Logged("<warning> ini file loading failed: linked.ini"));
  EXPECT_TRUE(sdk->CloseDevice(handle));
}

TEST_F(Host, WithoutFileNameTheDefaultIniIsReadAndLowPointersAreNoText) {
  // A parameter text would name a device and change the log level; a pointer
  // below one page must be taken for none.
  EXPECT_EQ(sdk->CreateDevice(1, nullptr, reinterpret_cast<const char*>(0x10)), -1);
  EXPECT_TRUE(Logged("<warning> ini file loading failed: ./quenlith_sdk_lite.ini"));
}

TEST_F(Host, TheLogLevelOfTheLastOpenHolds) {
  // Each open sets the level before it fails; the warning of the next load
  // shows whether it passes.
  sdk->CreateDevice(1, "first.ini", "debugOutputLevel=0");
  sdk->CreateDevice(1, "second.ini", "debugOutputLevel=3");
  sdk->CreateDevice(1, "third.ini", "device=none");
  sdk->CreateDevice(1, "fourth.ini", "debugOutputLevel=0");
  EXPECT_TRUE(Logged("<warning> ini file loading failed: first.ini"));
  EXPECT_TRUE(Logged("<warning> ini file loading failed: second.ini"));
  EXPECT_TRUE(Logged("<warning> ini file loading failed: third.ini"));
  EXPECT_FALSE(Logged("<warning> ini file loading failed: fourth.ini"));
}

TEST_F(Host, UnknownHandlesGiveTheFailureValues) {
  char buffer[64] = {};
  unsigned int length = sizeof buffer;
  const unsigned char image[4] = {1, 2, 3, 4};
  const std::vector<std::pair<const char*, std::function<long()>>> calls = {
      {"CloseDevice", [&] { return long{sdk->CloseDevice(5)}; }},
      {"ProcessData", [&] { return long{sdk->ProcessData(5, buffer)}; }},
      {"Reset", [&] { return long{sdk->Reset(5, 0, 0)}; }},
      {"SendImplementationSpecificCommand",
       [&] { return long{sdk->SendImplementationSpecificCommand(5, "get x", nullptr, nullptr)}; }},
      {"GetHubId", [&] { return long{sdk->GetHubId(5, buffer, sizeof buffer)}; }},
      {"GetSensorId", [&] { return long{sdk->GetSensorId(5, 1, buffer, sizeof buffer)}; }},
      {"GetSensorFlash", [&] { return long{sdk->GetSensorFlash(5, 1, buffer, &length)}; }},
      {"SetSensorFlash", [&] { return long{sdk->SetSensorFlash(5, 1, image, sizeof image)}; }},
      {"null pointers", [&] {
         return long{sdk->SendImplementationSpecificCommand(-1, nullptr, nullptr, nullptr)} +
                sdk->GetHubId(-1, nullptr, -5) + sdk->GetSensorId(-1, 0, nullptr, 0) +
                sdk->GetSensorFlash(-1, 0, nullptr, nullptr) + sdk->SetSensorFlash(-1, 0, nullptr, -1) +
                sdk->ProcessData(-1, nullptr);
       }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(call(), 0) << name;
  EXPECT_EQ(length, sizeof buffer) << "the flash length must stay untouched";
  EXPECT_TRUE(sdk->SetReceiveDataCallback(5, [](void*, void*) {}, nullptr));
}

}  // namespace
