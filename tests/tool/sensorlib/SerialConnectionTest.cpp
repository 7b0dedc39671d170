#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/system/system_error.hpp>

#include "PtyPeer.h"
#include "ScratchDirectory.h"
#include "SynchronousSerialConnection.h"

namespace {

using namespace Lumeth::Core::SensorLibrary;
using Connection = SynchronousSerialConnection;
namespace asio = boost::asio;

// A connection on a pseudo-terminal that stands in for COM port 3.
class SerialLine : public ::testing::Test {
 protected:
  SerialLine() : line(scratch.Path(), 3) { setenv("QUENLITH_TTY_DIR", scratch.Path().c_str(), 1); }
  ~SerialLine() override { unsetenv("QUENLITH_TTY_DIR"); }

  void open(Connection::StopBits stopBits = asio::serial_port_base::stop_bits::one) {
    connection.open(line.PortName(), 1000000, asio::serial_port_base::parity::none, 8,
                    asio::serial_port_base::flow_control::none, stopBits);
  }
  std::string read(std::size_t count, bool retry = false) {
    std::vector<std::uint8_t> destination(count, 0);
    const std::size_t got = connection.read(destination.data(), count, retry);
    return std::string(destination.begin(), destination.begin() + static_cast<std::ptrdiff_t>(got));
  }
  std::string consumeAll() {
    std::vector<std::uint8_t> out;
    connection.consume(out, 1000);
    return std::string(out.begin(), out.end());
  }

  ScratchDirectory scratch;
  PtyPeer line;
  Connection connection;
};

TEST_F(SerialLine, ReadsWhatArrivesAndWritesWhole) {
  open();
  line.Write("abc");
  EXPECT_EQ(read(10), "abc");
  EXPECT_EQ(connection.accumulatedSize(), 3u);
  EXPECT_EQ(connection.allBytesRead(), 3u);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(connection.consume(out, 2), 2u);
  EXPECT_EQ(std::string(out.begin(), out.end()), "ab");
  EXPECT_EQ(consumeAll(), "c");
  EXPECT_EQ(connection.consume(out, 2), 0u);

  const std::string frame("\xAA\x55\x08\x00\x00\x01\xB2\x56", 8);
  connection.write(frame);
  EXPECT_EQ(line.Read(frame.size()), frame);
}

TEST_F(SerialLine, DeadlineExpiryLeavesNothingBehindForTheNextRead) {
  open();
  connection.setReadDeadline(std::chrono::milliseconds(50));
  EXPECT_THROW(read(10), timeout_exception);
  EXPECT_THROW(read(10), timeout_exception);
  // The cancelled reads must neither swallow these bytes nor end this read early.
  line.Write("xyz");
  EXPECT_EQ(read(10), "xyz");
  EXPECT_EQ(consumeAll(), "xyz");
}

TEST_F(SerialLine, BytesOfAReadCutShortByTheDeadlineAreKept) {
  open();
  connection.setReadDeadline(std::chrono::milliseconds(50));
  line.Write("1234");
  // Asks for exactly ten; four come before the deadline.
  EXPECT_EQ(read(10, true), "1234");
  EXPECT_EQ(consumeAll(), "1234");
  EXPECT_THROW(read(10, true), timeout_exception);
}

TEST_F(SerialLine, OpeningAgainClosesFirst) {
  open();
  testing::internal::CaptureStdout();
  open();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find("closing the current serial connection before reopening it\n"), std::string::npos) << output;
  line.Write("q");
  EXPECT_EQ(read(10), "q");
}

TEST_F(SerialLine, ReadingAClosedConnectionFails) {
  const auto expectUninitialised = [this] {
    try {
      read(10);
      ADD_FAILURE() << "read on a closed connection";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "trying to access an uninitialized connection");
    }
  };
  expectUninitialised();
  open();
  connection.close();
  expectUninitialised();

  // A second close touches nothing but still prints its two lines.
  testing::internal::CaptureStdout();
  connection.close();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find("SynchronousSerialConnection::close ("), std::string::npos) << output;
  EXPECT_NE(output.find("END SynchronousSerialConnection::close ("), std::string::npos) << output;
}

TEST_F(SerialLine, FailedSettingClosesThePortAgain) {
  try {
    open(asio::serial_port_base::stop_bits::onepointfive);  // no such setting on this platform
    ADD_FAILURE() << "one and a half stop bits were accepted";
  } catch (const boost::system::system_error& error) {
    EXPECT_NE(std::string(error.what()).find("set_option"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(connection.isOpen());
  EXPECT_THROW(read(10), std::runtime_error);
  // A port left open would make this fail with "already open".
  open();
  line.Write("ok");
  EXPECT_EQ(read(10), "ok");
}

TEST_F(SerialLine, MissingPortFailsToOpen) {
  try {
    connection.open("\\\\.\\COM99", 1000000, asio::serial_port_base::parity::none, 8,
                    asio::serial_port_base::flow_control::none, asio::serial_port_base::stop_bits::one);
    ADD_FAILURE() << "a missing port opened";
  } catch (const boost::system::system_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("open", 0), 0u) << error.what();
  }
  EXPECT_FALSE(connection.isOpen());
}

TEST_F(SerialLine, TheProcessWideConnectionIsMadeAfreshAfterItIsDestroyed) {
  const auto first = Connection::instance();
  EXPECT_EQ(Connection::instance(), first);
  first->open(line.PortName(), 1000000, asio::serial_port_base::parity::none, 8,
              asio::serial_port_base::flow_control::none, asio::serial_port_base::stop_bits::one);
  Connection::destroyInstance();
  EXPECT_FALSE(first->isOpen());
  const auto second = Connection::instance();
  EXPECT_NE(second, first);
  EXPECT_FALSE(second->isOpen());
  Connection::destroyInstance();
}

}  // namespace
