// The hub protocol from byte vectors alone: framing, the receive rule, reply
// matching and the configuration every hub kind shares.

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ByteSource.h"
#include "LogCapture.h"
#include "communication/qn/Frame.h"
#include "communication/qn/Hub.h"

namespace {

using Communication::Device::QN::Bytes;
using Communication::Device::QN::CHub;
namespace Frame = Communication::Device::QN::Frame;
namespace DataType = Communication::Device::QN::DataType;

Bytes Payload(std::uint16_t command, const Bytes& data) {
  Bytes payload(2 + data.size());
  Frame::PutWord(payload.data(), command);
  std::copy(data.begin(), data.end(), payload.begin() + 2);
  return payload;
}

Bytes MakeFrame(std::uint16_t command, const Bytes& data = {0, 0}) { return Frame::Build(Payload(command, data)); }

// A header declaring the given length, followed by a body of that length with a
// correct checksum wherever the length allows one.
Bytes FrameOfLength(std::size_t length) {
  Bytes frame(std::max<std::size_t>(length, 4), 0x11);
  frame[0] = 0xAA;
  frame[1] = 0x55;
  Frame::PutWord(frame.data() + 2, static_cast<std::uint16_t>(length));
  if (length >= 6 && length % 2 == 0)
    Frame::PutWord(frame.data() + length - 2, Frame::Checksum(frame.data(), length - 2));
  return frame;
}

struct HubOnBytes {
  std::shared_ptr<ByteSource> source = std::make_shared<ByteSource>();
  std::shared_ptr<CHub> hub = std::make_shared<CHub>(source, "test");
  Bytes reply = Bytes(CHub::kFrameCapacity);

  int Receive() { return hub->ReceiveFrame(reply.data(), static_cast<int>(reply.size())); }
  int Request(const Bytes& payload) {
    return hub->Request(payload.data(), static_cast<int>(payload.size()), reply.data(), static_cast<int>(reply.size()),
                        false, true);
  }
};

TEST(HubFrame, FixedFramesAreByteExact) {
  EXPECT_EQ(Bytes(Frame::kWakeFrame.begin(), Frame::kWakeFrame.end()),
            (Bytes{0xAA, 0x55, 0x08, 0x00, 0x00, 0x08, 0xB2, 0x5D}));
  EXPECT_EQ(Frame::Build(Frame::Request(0x0100)), (Bytes{0xAA, 0x55, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00, 0xB4, 0x56}));
  EXPECT_EQ(Frame::Build(Frame::Request(0xFFFF, 0xFFFF)),
            (Bytes{0xAA, 0x55, 0x0A, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xB2, 0x55}));
}

TEST(HubFrame, PayloadsThatCannotBeFramedAreRefused) {
  EXPECT_TRUE(Frame::Build(Bytes{}).empty());
  EXPECT_TRUE(Frame::Build(Bytes{0x00}).empty());
  EXPECT_TRUE(Frame::Build(Bytes{0x00, 0x01, 0x02}).empty()) << "odd payload";
  EXPECT_EQ(Frame::Build(Bytes(Frame::kMaxLength - 6)).size(), Frame::kMaxLength);
  EXPECT_TRUE(Frame::Build(Bytes(Frame::kMaxLength - 4)).empty());
}

TEST(HubFrame, DataFormatCodesMapToTypeAndBlockSize) {
  struct Case {
    std::uint16_t code;
    int dataType;
    int blockSize;
  };
  const Case cases[] = {
      {0, DataType::kRaw, 20},        {0x0200, DataType::kRaw, 20},
      {0x0210, DataType::kRaw, 20},   {1000, DataType::kRaw, 20},
      {0x0201, DataType::kQuat, 10},  {0x0211, DataType::kQuat, 10},
      {1001, DataType::kQuat, 10},    {4321, DataType::kQuat, 10},
      {0x0202, DataType::kCalibrated, 20}, {0x0212, DataType::kCalibrated, 20},
      {1002, DataType::kCalibrated, 20},   {0x0203, DataType::kQuatCalibrated, 30},
      {0x0213, DataType::kQuatCalibrated, 30}, {1003, DataType::kQuatCalibrated, 30},
      {1, DataType::kNone, 0},        {0x0204, DataType::kNone, 0},
      {1004, DataType::kNone, 0},     {4320, DataType::kNone, 0},
      {0xFFFF, DataType::kNone, 0},
  };
  for (const auto& c : cases) {
    const auto format = Communication::Device::QN::LookupDataFormat(c.code);
    EXPECT_EQ(format.dataType, c.dataType) << "code " << c.code;
    EXPECT_EQ(format.blockSize, c.blockSize) << "code " << c.code;
  }
}

TEST(HubFrame, TextIsTakenFromTheDataOnly) {
  const Bytes terminated = MakeFrame(0x0110, {'h', 'u', 'b', 0, 'x', 'y'});
  EXPECT_EQ(Frame::Text(terminated.data(), terminated.size()), "hub");
  // No NUL in the data: the text stops before the checksum.
  const Bytes unterminated = MakeFrame(0x0110, {'a', 'b', 'c', 'd'});
  EXPECT_EQ(Frame::Text(unterminated.data(), unterminated.size()), "abcd");
}

TEST(HubFrame, ReceiveRuleOnTheDeclaredLength) {
  struct Case {
    const char* name;
    Bytes bytes;
    int expected;
    std::string logged;
  };
  Bytes wrongAddress = MakeFrame(0x0110);
  wrongAddress[1] = 0x56;
  const Case cases[] = {
      {"shortest", FrameOfLength(8), 8, ""},
      {"longest", FrameOfLength(16384), 16384, ""},
      {"below the shortest", FrameOfLength(7), 0, "<error> receive error: prefix 21930, len 7"},
      {"above the longest", FrameOfLength(16385), 0, "<error> receive error: prefix 21930, len 16385"},
      {"odd", FrameOfLength(11), 0, "<error> receive error: prefix 21930, len 11"},
      {"wrong address", wrongAddress, 0, "<error> receive error: prefix 22186, len 10"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    HubOnBytes link;
    link.source->Feed(c.bytes);
    EXPECT_EQ(link.Receive(), c.expected) << c.name;
    if (c.expected) {
      EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), link.reply.begin())) << c.name;
    } else {
      EXPECT_TRUE(log.Contains(c.logged)) << c.name;
    }
    EXPECT_EQ(log.Count("receive error"), c.logged.empty() ? 0u : 1u) << c.name;
  }
}

TEST(HubFrame, BadChecksumLogsBothSums) {
  LogCapture log;
  HubOnBytes link;
  Bytes frame = MakeFrame(0x0110, {'h', 'u', 'b', 0});
  const std::uint16_t good = Frame::Word(frame.data() + frame.size() - 2);
  frame[frame.size() - 2] ^= 0x01;
  link.source->Feed(frame);
  EXPECT_EQ(link.Receive(), 0);
  EXPECT_TRUE(log.Contains("<error> receive error: crc read " + std::to_string(good ^ 0x01) + ", crc calc " +
                           std::to_string(good)));
}

TEST(HubFrame, StrayBytesAreConsumedOneByOne) {
  LogCapture log;
  HubOnBytes link;
  const Bytes frame = MakeFrame(0x0210, {1, 2, 3, 4});
  link.source->Feed({0x00, 0x55});
  link.source->Feed(frame);
  EXPECT_EQ(link.Receive(), 0);
  EXPECT_EQ(link.Receive(), 0);
  EXPECT_EQ(link.Receive(), static_cast<int>(frame.size()));
  EXPECT_EQ(log.Count("receive error"), 0u);
}

TEST(HubFrame, ShortBodyAndSmallBufferYieldNothing) {
  HubOnBytes link;
  const Bytes frame = MakeFrame(0x0210, {1, 2, 3, 4});
  link.source->Feed(Bytes(frame.begin(), frame.end() - 1));
  EXPECT_EQ(link.Receive(), 0);
  link.source->Feed(frame);
  EXPECT_EQ(link.hub->ReceiveFrame(link.reply.data(), static_cast<int>(frame.size()) - 1), 0);
  EXPECT_EQ(link.hub->ReceiveFrame(link.reply.data(), 3), 0);
}

TEST(HubRequest, TakesTheReplyAfterEchoesAndForeignFrames) {
  HubOnBytes link;
  const Bytes request = Frame::Request(0x0100);
  const Bytes reply = MakeFrame(0x0110, {'B', 'S', 0, 0});
  link.source->OnWrite([&](ByteSource& source, const Bytes& written) {
    source.Feed(written);  // the request coming back
    source.Feed(MakeFrame(0x0210, {7, 0, 0, 0}));
    source.Feed(reply);
  });
  ASSERT_EQ(link.Request(request), static_cast<int>(reply.size()));
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), link.reply.begin()));
  ASSERT_EQ(link.source->Written().size(), 1u);
  EXPECT_EQ(link.source->Written()[0], Frame::Build(request));
}

TEST(HubRequest, UnframedRequestGoesOutAsGivenAndMatchesItsCommandByte) {
  HubOnBytes link;
  const Bytes frame = MakeFrame(0x0500);
  const Bytes reply = MakeFrame(0x0510, {1, 2, 3, 4, 5, 6});
  link.source->OnWrite([&](ByteSource& source, const Bytes& written) {
    source.Feed(written);
    source.Feed(reply);
  });
  EXPECT_EQ(link.hub->Request(frame.data(), static_cast<int>(frame.size()), link.reply.data(),
                              static_cast<int>(link.reply.size()), true, false),
            static_cast<int>(reply.size()));
  ASSERT_EQ(link.source->Written().size(), 2u);
  EXPECT_EQ(link.source->Written()[0], Bytes(Frame::kWakeFrame.begin(), Frame::kWakeFrame.end()));
  EXPECT_EQ(link.source->Written()[1], frame);
}

TEST(HubRequest, EndsWithoutAReply) {
  struct Case {
    const char* name;
    Bytes answer;
    std::string logged;
  };
  Bytes badChecksum = MakeFrame(0x0110, {'B', 'S', 0, 0});
  badChecksum.back() ^= 0x80;
  const Case cases[] = {
      {"silence", {}, ""},
      {"direct access timeout", MakeFrame(0x0810), "<warning> send request error: direct access timeout"},
      {"bad checksum", badChecksum, "<error> receive error: crc read"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    HubOnBytes link;
    if (!c.answer.empty()) {
      link.source->OnWrite([&](ByteSource& source, const Bytes&) {
        source.Feed(c.answer);
        source.Feed(MakeFrame(0x0110, {'l', 'a', 't', 'e'}));  // must not be taken
      });
    }
    EXPECT_EQ(link.Request(Frame::Request(0x0100)), 0) << c.name;
    if (!c.logged.empty()) {
      EXPECT_EQ(log.Count(c.logged), 1u) << c.name;
    }
  }
}

TEST(HubRequest, RetryAsksAgainAfterAFailedAttempt) {
  HubOnBytes link;
  int writes = 0;
  link.source->OnWrite([&](ByteSource& source, const Bytes&) {
    if (++writes < 3) return;
    source.Feed(MakeFrame(0x0110, {'o', 'k'}));
  });
  const Bytes request = Frame::Request(0x0100);
  EXPECT_GT(link.hub->RequestRetry(request.data(), 4, link.reply.data(), static_cast<int>(link.reply.size()), false,
                                   true),
            0);
  EXPECT_EQ(writes, 3);

  writes = -100;
  EXPECT_EQ(link.hub->RequestRetry(request.data(), 4, link.reply.data(), static_cast<int>(link.reply.size()), false,
                                   true),
            0);
  EXPECT_EQ(writes, -100 + CHub::kRequestAttempts);
}

TEST(HubRequest, AHubThatKeepsStreamingCannotHoldARequestForEver) {
  LogCapture log;
  HubOnBytes link;
  link.source->OnIdle([](ByteSource& source) { source.Feed(MakeFrame(0x0210, {1, 0, 0, 0})); });
  EXPECT_EQ(link.Request(Frame::Request(0x0100)), 0);
  EXPECT_EQ(log.Count("<error> send request error: no reply within"), 1u);
}

TEST(HubRequest, NoTransportNoRequest) {
  const auto hub = std::make_shared<CHub>(nullptr, "bare");
  Bytes reply(64);
  const Bytes request = Frame::Request(0x0100);
  EXPECT_FALSE(hub->Send(request.data(), 4, true, true));
  EXPECT_EQ(hub->Request(request.data(), 4, reply.data(), 64, false, true), 0);
  EXPECT_EQ(hub->ReceiveFrame(reply.data(), 64), 0);
  EXPECT_FALSE(hub->Open({}));
}

boost::property_tree::ptree Tree(std::initializer_list<std::pair<const char*, const char*>> keys) {
  boost::property_tree::ptree tree;
  for (const auto& [key, value] : keys) tree.put(key, value);
  return tree;
}

TEST(HubConfigure, CommonKeys) {
  struct Case {
    boost::property_tree::ptree tree;
    int delayBetweenWriting, period, dataType;
    bool needReset;
  };
  const Case cases[] = {
      {Tree({}), 1, 16665, DataType::kNone, false},
      {Tree({{"baudrate", "38400"}, {"frequency", "100"}}), 5, 9999, DataType::kNone, false},
      {Tree({{"baudrate", "115200"}, {"delaybetweenwriting", "7"}}), 7, 16665, DataType::kNone, false},
      {Tree({{"device", "BSmain QuatCalibratedT"}}), 1, 16665, DataType::kQuatCalibrated, false},
      {Tree({{"device", "bsmain calibratedt needreset"}}), 1, 16665, DataType::kCalibrated, true},
      {Tree({{"device", "bsmain quat"}}), 1, 16665, DataType::kQuat, false},
      {Tree({{"device", "RAW"}}), 1, 16665, DataType::kRaw, false},
  };
  for (const auto& c : cases) {
    CHub hub(nullptr, "test");
    ASSERT_TRUE(hub.Configure(c.tree));
    EXPECT_EQ(hub.GetDelayBetweenWriting(), c.delayBetweenWriting);
    EXPECT_EQ(hub.GetPeriod(), c.period);
    EXPECT_EQ(hub.GetDataType(), c.dataType);
    EXPECT_EQ(hub.GetNeedReset(), c.needReset);
  }
}

TEST(HubConfigure, DivisorsOfZeroOrBelowAreRefused) {
  struct Case {
    const char* key;
    const char* value;
  };
  const Case cases[] = {{"baudrate", "0"}, {"baudrate", "-9600"}, {"frequency", "0"}, {"frequency", "-60"}};
  for (const auto& c : cases) {
    LogCapture log;
    CHub hub(nullptr, "test");
    EXPECT_FALSE(hub.Configure(Tree({{c.key, c.value}}))) << c.key << "=" << c.value;
    EXPECT_TRUE(log.Contains(std::string("<error> invalid ") + c.key + " " + c.value)) << c.key << "=" << c.value;

    // And so is the open of a hub on a transport that would accept it.
    const auto source = std::make_shared<ByteSource>();
    const auto onBytes = std::make_shared<CHub>(source, "test");
    EXPECT_FALSE(onBytes->Open(Tree({{c.key, c.value}}))) << c.key << "=" << c.value;
  }
}

TEST(HubOpen, ResetsWhenAskedAndSwitchesNothingInTheBase) {
  const auto source = std::make_shared<ByteSource>();
  const auto hub = std::make_shared<CHub>(source, "test");
  ASSERT_TRUE(hub->Open(Tree({{"device", "bsmain needreset"}})));
  EXPECT_TRUE(source->Opened());
  const Bytes reset = Frame::Build(Frame::Request(0xFFFF, 0xFFFF));
  EXPECT_EQ(source->Written(), std::vector<Bytes>(5, reset));
  hub->Close();
  EXPECT_FALSE(source->Opened());
}

}  // namespace
