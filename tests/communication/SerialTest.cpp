// The serial transport against a pseudo-terminal whose other end the test holds.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "PtyPeer.h"
#include "ScratchDirectory.h"
#include "communication/datainterface/Serial.h"

namespace {

using Communication::DataInterface::CSerial;
using Bytes = std::string;

boost::property_tree::ptree Tree(std::initializer_list<std::pair<const char*, const char*>> keys) {
  boost::property_tree::ptree tree;
  for (const auto& [key, value] : keys) tree.put(key, value);
  return tree;
}

class Serial : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }

  std::string PortPath(int com) const { return (scratch.Path() / ("ttyUSB" + std::to_string(com))).string(); }

  ScratchDirectory scratch;
  LogCapture log;
  PtyPeer peer{scratch.Path(), 7};
  CSerial port;
};

TEST_F(Serial, OpensByComNumberAndClosesAgain) {
  ASSERT_TRUE(port.Open(Tree({{"com", "7"}})));
  EXPECT_TRUE(log.Contains("<info> <hw> trying to open serial port \"" + PortPath(7) +
                           "\" (baudrate = 1000000, timeout = 100)"));
  EXPECT_FALSE(port.Open(Tree({{"com", "7"}})));
  EXPECT_TRUE(log.Contains("<debug> <hw> serial port already opened"));

  port.Close();
  EXPECT_TRUE(log.Contains("<debug> <hw> serial port closed"));
  port.Close();
  EXPECT_TRUE(log.Contains("<debug> <hw> serial port not opened"));

  ASSERT_TRUE(port.Open(Tree({{"com", "7"}, {"baudrate", "115200"}, {"transmissiontimeout", "40"}})));
  EXPECT_TRUE(log.Contains("<info> <hw> trying to open serial port \"" + PortPath(7) +
                           "\" (baudrate = 115200, timeout = 40)"));
}

TEST_F(Serial, ReadDeliversTheWholeBlockOrNothing) {
  ASSERT_TRUE(port.Open(Tree({{"com", "7"}, {"transmissiontimeout", "50"}})));
  char buffer[16] = {};

  peer.Write("0123456789");
  ASSERT_EQ(port.Read(buffer, 10), 10);
  EXPECT_EQ(Bytes(buffer, 10), "0123456789");

  // Four of ten bytes: nothing, and the four are gone.
  peer.Write("abcd");
  EXPECT_EQ(port.Read(buffer, 10), 0);
  const auto lines = log.Lines();
  const auto timeout = std::find(lines.begin(), lines.end(), "<error> <hw> serial read timeout error");
  ASSERT_NE(timeout, lines.end());
  ASSERT_NE(timeout + 1, lines.end());
  EXPECT_EQ(timeout[1].rfind("<error> <hw> serial read error: ", 0), 0u) << timeout[1];
  EXPECT_NE(timeout[1].find(", read: 4"), std::string::npos) << timeout[1];

  peer.Write("xyz");
  ASSERT_EQ(port.Read(buffer, 3), 3);
  EXPECT_EQ(Bytes(buffer, 3), "xyz");

  const auto before = log.Lines().size();
  EXPECT_EQ(port.Read(buffer, 0), 0);
  EXPECT_EQ(log.Lines().size(), before);
}

TEST_F(Serial, WriteReachesThePeer) {
  ASSERT_TRUE(port.Open(Tree({{"com", "7"}})));
  EXPECT_EQ(port.Write("\xAA\x55\x0A\x00", 4), 4);
  EXPECT_EQ(peer.Read(4), Bytes("\xAA\x55\x0A\x00", 4));
}

TEST_F(Serial, PurgeDiscardsWhatIsWaiting) {
  ASSERT_TRUE(port.Open(Tree({{"com", "7"}, {"transmissiontimeout", "50"}})));
  peer.Write(Bytes(300, 'x'));
  ASSERT_TRUE(peer.WaitUntilWaiting(300));
  port.Purge();
  peer.Write("Z");
  char byte = 0;
  ASSERT_EQ(port.Read(&byte, 1), 1);
  EXPECT_EQ(byte, 'Z');
  EXPECT_EQ(log.Count("serial read"), 0u);
}

TEST_F(Serial, ClosedPortDeliversNothing) {
  char buffer[4];
  EXPECT_EQ(port.Write("abcd", 4), 0);
  EXPECT_EQ(log.Count("<debug> <hw> serial port not opened"), 1u);
  port.Purge();
  EXPECT_EQ(log.Count("<debug> <hw> serial port not opened"), 2u);
  EXPECT_EQ(port.Read(buffer, 4), 0);
  EXPECT_EQ(log.Count("<error> <hw> serial read error: "), 1u);
}

TEST_F(Serial, OpenFailsWithALogLineAndLeavesThePortClosed) {
  scratch.Write("ttyUSB9", "not a terminal");
  struct Case {
    const char* name;
    boost::property_tree::ptree tree;
  };
  const Case cases[] = {
      {"no such port", Tree({{"com", "8"}})},
      {"not a terminal", Tree({{"com", "9"}})},
      {"unsupported speed", Tree({{"com", "7"}, {"baudrate", "12345"}})},
      {"zero speed", Tree({{"com", "7"}, {"baudrate", "0"}})},
      {"negative speed", Tree({{"com", "7"}, {"baudrate", "-115200"}})},
      {"negative time-out", Tree({{"com", "7"}, {"transmissiontimeout", "-1"}})},
  };
  for (const auto& c : cases) {
    const auto before = log.Count("<error> <hw> serial port open failed: ");
    EXPECT_FALSE(port.Open(c.tree)) << c.name;
    EXPECT_EQ(log.Count("<error> <hw> serial port open failed: "), before + 1) << c.name;
    EXPECT_EQ(port.Write("a", 1), 0) << c.name;
  }
  EXPECT_TRUE(port.Open(Tree({{"com", "7"}})));
}

TEST_F(Serial, DeadLineFailsEachReadOnlyAfterItsTimeOut) {
  ASSERT_TRUE(port.Open(Tree({{"com", "7"}, {"transmissiontimeout", "50"}})));
  peer.HangUp();

  // A reader in a loop, as the stream thread is: were a failing read to return
  // at once, it would make thousands of passes in this window instead of ten.
  std::atomic<bool> stop{false};
  int passes = 0;
  std::thread reader([&] {
    char byte;
    while (!stop) {
      EXPECT_EQ(port.Read(&byte, 1), 0);
      ++passes;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stop = true;
  reader.join();
  EXPECT_GE(passes, 1);
  EXPECT_LE(passes, 15);
  EXPECT_EQ(log.Count("<error> <hw> serial read error: "), static_cast<std::size_t>(passes));
  EXPECT_EQ(port.Write("a", 1), 0);
}

}  // namespace
