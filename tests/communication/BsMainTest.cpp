// The BSmain hub and the identifier on the serial transport, against the
// simulated hub on a pseudo-terminal.

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "ByteSource.h"
#include "HubFixture.h"
#include "LogCapture.h"
#include "ScratchDirectory.h"
#include "api/Factories.h"
#include "communication/datainterface/Serial.h"
#include "communication/qn/BsMain.h"
#include "simhub/SimulatedHub.h"

namespace {

using namespace std::chrono_literals;
using Communication::DataInterface::CSerial;
using Communication::Device::QN::Bytes;
using Communication::Device::QN::CBsMain;
namespace Frame = Communication::Device::QN::Frame;
namespace DataType = Communication::Device::QN::DataType;
using HubTesting::FrameLog;
using HubTesting::OnSimulator;
using HubTesting::WaitFor;

constexpr int kCom = 3;

boost::property_tree::ptree Parameters(const std::string& device) {
  boost::property_tree::ptree tree;
  tree.put("com", kCom);
  tree.put("device", device);
  tree.put("transmissiontimeout", 50);
  return tree;
}

// Every frame handed on is whole and carries the simulator's content for its counter.
void ExpectSoundDataFrames(const std::vector<Bytes>& frames, int blockSize) {
  std::uint16_t previous = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Bytes& frame = frames[i];
    ASSERT_EQ(frame.size(), 14u + 20u * blockSize + 2u) << "frame " << i;
    EXPECT_TRUE(Frame::CheckChecksum(frame.data(), frame.size()).matches) << "frame " << i;
    const std::uint16_t counter = Frame::Word(frame.data() + 6);
    if (i > 0) {
      EXPECT_GT(counter, previous) << "frame " << i;
    }
    previous = counter;
    for (int position = 0; position < 20; ++position)
      for (int k = 0; k < blockSize / 2; ++k)
        ASSERT_EQ(Frame::Word(frame.data() + 14 + position * blockSize + 2 * k),
                  SimHub::SyntheticWord(counter, position, k))
            << "frame " << i << " position " << position << " word " << k;
  }
}

class BsMain : public OnSimulator<CBsMain> {
 protected:
  void StartSim(SimHub::HubOptions options = {}) {
    options.sensors.assign(20, SimHub::SimSensor{"DKv3 sensor", {}, {}});
    AttachSim(std::move(options), kCom);
  }

  bool OpenHub(const std::string& device) {
    hub = std::make_shared<CBsMain>(transport, "BSmain");
    return hub->Open(Parameters(device));
  }

  // Whether the simulator received a framed command with this data word.
  bool Received(std::uint16_t command, std::uint16_t data) const {
    for (const auto& request : sim->RequestsReceived())
      if (request.size() >= 8 && Frame::Word(request.data() + 4) == command && Frame::Word(request.data() + 6) == data)
        return true;
    return false;
  }

  std::shared_ptr<CSerial> transport = std::make_shared<CSerial>();
};

TEST_F(BsMain, RawHubIdentifiesItselfAndStreamsItsFrames) {
  StartSim();
  ASSERT_TRUE(OpenHub("bsmain raw"));
  const std::string identity = SimHub::DefaultIdentity(SimHub::HubKind::BsMain);
  EXPECT_EQ(hub->GetId(), identity);
  EXPECT_TRUE(log.Contains("<info> found \"" + identity + "\" hub"));
  EXPECT_TRUE(log.Contains("<info> configure hub by \"device\" parameter : datatype 0"));
  EXPECT_TRUE(Received(0x0402, 1000));
  EXPECT_TRUE(hub->IsStreaming());

  const auto& sensors = hub->GetSensors();
  ASSERT_EQ(sensors.size(), 20u);
  for (int position = 0; position < 20; ++position) {
    const auto sensor = std::dynamic_pointer_cast<Communication::Device::QN::CSensor>(sensors[position]);
    ASSERT_TRUE(sensor);
    EXPECT_EQ(sensor->GetId(), "DKv3");
    EXPECT_EQ(sensor->GetDataType(), DataType::kRaw);
    EXPECT_EQ(sensor->GetDataOffset(), 14 + 20 * position);
    EXPECT_EQ(sensor->GetDataSize(), 20);
    EXPECT_EQ(sensor->GetIndex(), position);
    EXPECT_TRUE(sensor->GetState().empty());
    EXPECT_TRUE(sensor->GetFlash().empty());
  }

  hub->SetDataHandler(std::ref(frames));
  ASSERT_TRUE(frames.WaitForMore(5));
  hub->StopStream();
  EXPECT_FALSE(hub->IsStreaming());
  EXPECT_TRUE(WaitFor([&] { return !sim->Streaming(); }));
  const auto handed = frames.Count();
  // The hub streams again, but no stream thread reads any more.
  hub->SetAutoTx(true);
  EXPECT_TRUE(sim->WaitForDataFrames(sim->DataFramesSent() + 5, HubTesting::kLimit));
  EXPECT_EQ(frames.Count(), handed) << "a frame was handed on after the stream stopped";
  hub->Close();
  ExpectSoundDataFrames(frames.Frames(), 20);
}

// A request as it must stand on the wire, built here word by word rather than
// by the codec under test.
Bytes Wire(std::initializer_list<std::uint16_t> payload) {
  Bytes frame{0xAA, 0x55, static_cast<std::uint8_t>(4 + 2 * payload.size() + 2), 0};
  for (const std::uint16_t word : payload) {
    frame.push_back(static_cast<std::uint8_t>(word & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(word >> 8));
  }
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < frame.size(); i += 2) sum += frame[i] | (frame[i + 1] << 8);
  frame.push_back(static_cast<std::uint8_t>(sum & 0xFF));
  frame.push_back(static_cast<std::uint8_t>((sum >> 8) & 0xFF));
  return frame;
}

TEST_F(BsMain, EveryRequestOfOpenAndCloseGoesOutByteForByte) {
  StartSim();
  ASSERT_TRUE(OpenHub("bsmain quat needreset"));
  hub->Close();

  struct Step {
    const char* what;
    Bytes frame;
    int times;
  };
  const std::vector<Step> steps = {
      {"reset", Wire({0xFFFF, 0xFFFF}), 5},
      {"auto-transmit off", Wire({0x0400, 0x0000}), 5},
      {"power on", Wire({0x0401, 0xFFFF}), 1},
      {"data format quat", Wire({0x0402, 4321}), 1},
      {"identify", Wire({0x0100, 0}), 1},
      {"get state", Wire({0x0300, 0}), 1},
      {"auto-transmit on", Wire({0x0400, 0xFFFF}), 5},
      {"auto-transmit off", Wire({0x0400, 0x0000}), 5},
      {"power off", Wire({0x0401, 0x0000}), 1},
  };
  ASSERT_EQ(Wire({0x0100, 0}), (Bytes{0xAA, 0x55, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00, 0xB4, 0x56}));
  std::size_t expected = 0;
  for (const auto& step : steps) expected += static_cast<std::size_t>(step.times);
  WaitFor([&] { return sim->RequestsReceived().size() >= expected; });
  const auto received = sim->RequestsReceived();
  std::size_t next = 0;
  for (const auto& step : steps)
    for (int i = 0; i < step.times; ++i, ++next) {
      ASSERT_LT(next, received.size()) << step.what;
      EXPECT_EQ(received[next], step.frame) << step.what << " #" << i + 1;
    }
  EXPECT_EQ(received.size(), next) << "requests beyond those expected";
}

TEST_F(BsMain, QuatHubBehindAnEchoingAdapter) {
  SimHub::HubOptions options;
  options.echoRequests = true;
  StartSim(options);
  ASSERT_TRUE(OpenHub("BSmain Quat"));
  EXPECT_TRUE(Received(0x0402, 4321));
  const auto& sensors = hub->GetSensors();
  ASSERT_EQ(sensors.size(), 20u);
  for (int position = 0; position < 20; ++position) {
    const auto sensor = std::dynamic_pointer_cast<Communication::Device::QN::CSensor>(sensors[position]);
    EXPECT_EQ(sensor->GetDataType(), DataType::kQuat);
    EXPECT_EQ(sensor->GetDataOffset(), 14 + 10 * position);
    EXPECT_EQ(sensor->GetDataSize(), 10);
  }
  hub->SetDataHandler(std::ref(frames));
  ASSERT_TRUE(frames.WaitForMore(3));
  hub->Close();
  // Every checked frame is handed on, the echoes of the auto-transmit switch
  // among them; the data frames must be whole.
  std::vector<Bytes> data;
  for (const auto& frame : frames.Frames()) {
    if (frame[5] == 0x02)
      data.push_back(frame);
    else
      EXPECT_EQ(Frame::Word(frame.data() + 4), 0x0400);
  }
  EXPECT_FALSE(data.empty());
  ExpectSoundDataFrames(data, 10);
}

TEST_F(BsMain, FaultyFramesAreDroppedAndStreamingGoesOn) {
  StartSim();
  ASSERT_TRUE(OpenHub("bsmain raw"));
  hub->SetDataHandler(std::ref(frames));
  ASSERT_TRUE(frames.WaitForMore(2));
  const SimHub::Fault faults[] = {SimHub::Fault::CorruptChecksum, SimHub::Fault::TruncatedFrame,
                                  SimHub::Fault::GarbageBetweenFrames, SimHub::Fault::WrongLength,
                                  SimHub::Fault::OddLength};
  for (const auto fault : faults) {
    sim->InjectFault(fault, 2);
    EXPECT_TRUE(frames.WaitForMore(4)) << "no frames after fault " << static_cast<int>(fault);
  }
  hub->Close();
  ExpectSoundDataFrames(frames.Frames(), 20);
  EXPECT_GE(log.Count("<error> receive error: crc read "), 1u);
  EXPECT_GE(log.Count("<error> receive error: prefix "), 1u) << "the odd length must be refused";
}

TEST_F(BsMain, HostRequestsWhileStreamingGetTheirReplies) {
  StartSim();
  ASSERT_TRUE(OpenHub("bsmain raw"));
  hub->SetDataHandler(std::ref(frames));
  ASSERT_TRUE(frames.WaitForMore(2));
  // Each reply comes between data frames; were the stream thread reading at the
  // same time, it would take replies away from the request.
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(hub->GetHubId()) << "request " << i;
  EXPECT_EQ(log.Count("get hub id failed") + log.Count("get hub state failed"), 0u);
  ASSERT_TRUE(frames.WaitForMore(2));
  hub->Close();
  ExpectSoundDataFrames(frames.Frames(), 20);
}

TEST_F(BsMain, AHandlerMayCloseItsOwnHub) {
  StartSim();
  ASSERT_TRUE(OpenHub("bsmain raw"));
  std::atomic<int> calls{0};
  std::atomic<bool> closed{false};
  CBsMain* raw = hub.get();
  hub->SetDataHandler([&calls, &closed, raw](void*) {
    if (calls++ > 0) return;
    raw->Close();
    closed = true;
  });
  ASSERT_TRUE(WaitFor([&] { return closed.load(); }));
  EXPECT_FALSE(hub->IsStreaming());
  EXPECT_EQ(transport->Write("x", 1), 0) << "the transport stays open";

  // The stream thread ends on its own, handing on nothing more, and lets go of
  // its hub, which it destroys (with the transport reference it holds).
  hub.reset();
  EXPECT_TRUE(WaitFor([&] { return transport.use_count() == 1; }));
  EXPECT_EQ(calls.load(), 1);
}

class BsMainLinkLost : public BsMain, public ::testing::WithParamInterface<SimHub::Fault> {};

TEST_P(BsMainLinkLost, CloseStillJoinsTheStreamThread) {
  StartSim();
  ASSERT_TRUE(OpenHub("bsmain raw"));
  hub->SetDataHandler(std::ref(frames));
  ASSERT_TRUE(frames.WaitForMore(2));
  sim->InjectFault(GetParam(), 1000);
  // The stream thread finds nothing more to read.
  ASSERT_TRUE(WaitFor([&] { return log.Count("<hw> serial read") >= 2; }));
  hub->Close();
  EXPECT_FALSE(hub->IsStreaming());
  ExpectSoundDataFrames(frames.Frames(), 20);
}

INSTANTIATE_TEST_SUITE_P(Faults, BsMainLinkLost,
                         ::testing::Values(SimHub::Fault::StopAnswering, SimHub::Fault::DropLine));

class BsMainOpenFails : public BsMain, public ::testing::WithParamInterface<const char*> {};

TEST_P(BsMainOpenFails, WithConfigureHubFailed) {
  StartSim();
  const std::string device = GetParam();
  if (device.find("calibratedt") == std::string::npos) sim->InjectFault(SimHub::Fault::StopAnswering, 1000);
  EXPECT_FALSE(OpenHub(device));
  EXPECT_TRUE(log.Contains("<error> configure hub failed"));
  EXPECT_FALSE(hub->IsStreaming());
}

// A hub that does not answer, and a data type the hub cannot be told.
INSTANTIATE_TEST_SUITE_P(Cases, BsMainOpenFails, ::testing::Values("bsmain raw", "bsmain calibratedt"));

TEST_F(BsMain, IdentifierNamesTheHubAndClosesTheTransport) {
  StartSim();
  const auto id = IdentifyHub(transport, Parameters(""));
  ASSERT_TRUE(id);
  EXPECT_EQ(*id, SimHub::DefaultIdentity(SimHub::HubKind::BsMain));
  EXPECT_TRUE(log.Contains("<info> found \"" + *id + "\" device"));
  EXPECT_TRUE(Received(0x0400, 0x0000)) << "auto-transmit is switched off before asking";
  EXPECT_EQ(transport->Write("x", 1), 0) << "the transport stays open";

  const auto device = CreateDeviceById(*id);
  ASSERT_TRUE(std::dynamic_pointer_cast<CBsMain>(device));
  EXPECT_EQ(device->GetId(), *id);
  EXPECT_TRUE(std::dynamic_pointer_cast<CBsMain>(CreateDeviceByName("bsmain")));
}

TEST_F(BsMain, IdentifierOfASilentHubFails) {
  StartSim();
  sim->InjectFault(SimHub::Fault::StopAnswering, 1000);
  EXPECT_FALSE(IdentifyHub(transport, Parameters("")));
  EXPECT_TRUE(log.Contains("<error> get hub id failed"));
}

// Replies scripted byte for byte, for what the simulator never sends.
TEST(BsMainReplies, IdentityAndStateAreTakenWithinTheirFrames) {
  struct Case {
    const char* name;
    Bytes identity;  // reply data to identify
    Bytes state;     // reply data to get state
    std::string id;
    int dataType;
    int blockSize;
  };
  const Case cases[] = {
      {"terminated", {'B', 'S', 'm', 'a', 'i', 'n', 0, 'x'}, {0, 0, 0, 0, 0xE1, 0x10, 0, 0}, "BSmain",
       DataType::kQuat, 10},
      {"unterminated", {'B', 'S', 'm', 'a'}, {0, 0, 0, 0, 0xE8, 0x03}, "BSma", DataType::kRaw, 20},
      {"state without a format", {'B', 'S', 0, 0}, {0xFF, 0xFF, 0xFF, 0xFF}, "BS", DataType::kNone, 0},
      {"empty state", {'B', 'S', 0, 0}, {}, "BS", DataType::kNone, 0},
  };
  for (const auto& c : cases) {
    const auto source = std::make_shared<ByteSource>();
    source->OnWrite([&](ByteSource& bytes, const Bytes& written) {
      const std::uint16_t command = Frame::Word(written.data() + 4);
      const Bytes& data = command == 0x0100 ? c.identity : c.state;
      Bytes payload(2 + data.size());
      Frame::PutWord(payload.data(), static_cast<std::uint16_t>((command & 0xFF00) | 0x10));
      std::copy(data.begin(), data.end(), payload.begin() + 2);
      bytes.Feed(Frame::Build(payload));
    });
    const auto hub = std::make_shared<CBsMain>(source, "BSmain");
    ASSERT_TRUE(hub->GetHubId()) << c.name;
    EXPECT_EQ(hub->GetId(), c.id) << c.name;
    EXPECT_EQ(hub->GetHubState(), c.state) << c.name;
    hub->FindSensors();
    ASSERT_EQ(hub->GetSensors().size(), 20u) << c.name;
    const auto last = std::dynamic_pointer_cast<Communication::Device::QN::CSensor>(hub->GetSensors().back());
    EXPECT_EQ(last->GetDataType(), c.dataType) << c.name;
    EXPECT_EQ(last->GetDataSize(), c.blockSize) << c.name;
    EXPECT_EQ(last->GetDataOffset(), 14 + 19 * c.blockSize) << c.name;
  }
}

TEST(BsMainReplies, CloseSwitchesThePowerOff) {
  const auto source = std::make_shared<ByteSource>();
  const auto hub = std::make_shared<CBsMain>(source, "BSmain");
  hub->Close();
  EXPECT_EQ(source->Written(), std::vector<Bytes>{Frame::Build(Frame::Request(0x0401, 0x0000))});
}

}  // namespace
