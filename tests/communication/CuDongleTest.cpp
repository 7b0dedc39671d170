// The USB CU hub and the dongle: their pure rules (slot table, period shares,
// bus addresses, frame rewriting, write checks) and their conversations with
// the simulated hubs on a pseudo-terminal.

#include <stdlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "HubFixture.h"
#include "LogCapture.h"
#include "ScratchDirectory.h"
#include "communication/datainterface/Serial.h"
#include "communication/qn/Cu.h"
#include "communication/qn/Dongle.h"
#include "communication/qn/FlashWrite.h"
#include "simhub/SimulatedHub.h"

namespace {

using namespace std::chrono_literals;
using Communication::DataInterface::CSerial;
using Communication::Device::QN::Bytes;
using Communication::Device::QN::CCu;
using Communication::Device::QN::CDongle;
using Communication::Device::QN::HubFrame;
namespace Frame = Communication::Device::QN::Frame;
namespace FlashWrite = Communication::Device::QN::FlashWrite;
namespace DataType = Communication::Device::QN::DataType;
using QnSensor = Communication::Device::QN::CSensor;
using HubTesting::WaitFor;

constexpr int kCom = 6;

// A hub state of 8 bytes and the given slot entries (period big-endian first).
Bytes State(const std::vector<std::array<std::uint8_t, 8>>& entries, std::size_t extra = 0) {
  Bytes state(8, 0);
  for (const auto& entry : entries) state.insert(state.end(), entry.begin(), entry.end());
  state.resize(state.size() + extra, 0);
  return state;
}

TEST(CuRules, SlotsAreCountedWithinTheState) {
  const std::array<std::uint8_t, 8> slot{0x12, 0x34, 0xFE, 0x01, 0x00, 0x02, 0, 20};
  const std::array<std::uint8_t, 8> end{};
  struct Case {
    const char* name;
    Bytes state;
    int slots;
  };
  Bytes cut = State({slot, slot});
  cut.resize(cut.size() - 1);
  const std::vector<Case> cases{
      {"empty state", {}, 0},
      {"header only", State({}), 0},
      {"no slot", State({end}), 0},
      {"two slots, ended", State({slot, slot, end}), 2},
      {"two slots at the state's end", State({slot, slot}), 2},
      {"second entry cut short", cut, 1},
      {"more than 32 entries", State(std::vector<std::array<std::uint8_t, 8>>(40, slot)), 32},
      {"a zero period in the low byte only ends nothing", State({{0x00, 0x01, 0, 0, 0, 0, 0, 0}, end}), 1},
  };
  for (const auto& c : cases) EXPECT_EQ(CCu::CountSlots(c.state), c.slots) << c.name;
}

TEST(CuRules, ThePeriodIsSharedAmongTheSlots) {
  struct Case {
    int period, slots;
    std::vector<std::uint16_t> shares;
  };
  const std::vector<Case> cases{
      {16665, 3, {5555, 5555, 5555}},
      {16665, 4, {4166, 4166, 4166, 4167}},
      {999999, 3, {0xFFFE, 0xFFFE, 0xFFFE}},
      {16665, 1, {16665}},
      // A share of 0 would end the slot table.
      {3, 5, {1, 1, 1, 1, 3}},
  };
  for (const auto& c : cases)
    for (int slot = 0; slot < c.slots; ++slot)
      EXPECT_EQ(CCu::PeriodShare(c.period, slot, c.slots), c.shares[static_cast<std::size_t>(slot)])
          << c.period << " us over " << c.slots << ", slot " << slot;
  EXPECT_EQ(CCu::PeriodShare(16665, 0, 0), 0);
}

TEST(CuRules, BusAddressesComeFromTheImageWordsThatExist) {
  Bytes image(12, 0);
  image[6] = 7;
  image[8] = 0xFE;  // -2 as a 32-bit word
  image[9] = image[10] = image[11] = 0xFF;
  struct Case {
    std::size_t size;
    int address;
    bool answers;
  };
  const std::vector<Case> cases{
      {12, 7, true},  {12, -2, true}, {12, 0, false}, {11, -2, false}, {11, 7, true},
      {8, 7, true},   {7, 7, false},  {0, 0, false},  {12, 0xFFFE, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CCu::AnswersBusAddress(Bytes(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(c.size)),
                                     c.address),
              c.answers)
        << c.size << " bytes, address " << c.address;
}

TEST(CuRules, SlotMasksBecomePositionMasks) {
  struct Case {
    std::uint32_t slotMask;
    int slots;
    std::uint32_t positions;
  };
  const std::vector<Case> cases{
      {0b001, 3, 0b100}, {0b100, 3, 0b001}, {0b110, 3, 0b011}, {1, 1, 1},
      {0x80000000u, 32, 1}, {1, 32, 0x80000000u}, {0, 0, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(CCu::PositionMask(c.slotMask, c.slots), c.positions) << c.slotMask;
}

TEST(DongleRules, TheHeaderGoesInFrontOfTheBlock) {
  HubFrame frame;
  const Bytes sent = SimHub::Frame(0x0210, Bytes{0x05, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                                 17, 18, 19, 20});
  ASSERT_EQ(sent.size(), 30u);
  std::copy(sent.begin(), sent.end(), frame.bytes.begin());
  frame.length = 30;
  CDongle::InsertDataHeader(frame);
  ASSERT_EQ(frame.length, 36);
  EXPECT_EQ(Frame::Word(frame.bytes.data() + 2), 36);
  EXPECT_EQ(Frame::Word(frame.bytes.data() + 4), 0x0210);
  EXPECT_EQ(Frame::Word(frame.bytes.data() + 6), 5);
  EXPECT_EQ(Frame::Word(frame.bytes.data() + 8), 0);
  EXPECT_EQ(Frame::Word(frame.bytes.data() + 10), 1);
  EXPECT_EQ(Frame::Word(frame.bytes.data() + 12), 0);
  EXPECT_TRUE(std::equal(sent.begin() + 8, sent.end(), frame.bytes.begin() + 14));

  // No room for six more bytes: dropped rather than written past the buffer.
  for (const int length : {16384, 16380, 16379}) {
    frame.length = length;
    CDongle::InsertDataHeader(frame);
    EXPECT_EQ(frame.length, 0) << length;
  }
  frame.length = 16378;
  CDongle::InsertDataHeader(frame);
  EXPECT_EQ(frame.length, 16384);
}

// The read-back decides a write: its data must begin with the image.
TEST(FlashWriteRules, AReadBackConfirmsWhenItsDataBeginWithTheImage) {
  const Bytes image{1, 2, 3, 4};
  struct Case {
    const char* name;
    Bytes data;  // of the read flash reply
    bool confirms;
  };
  const Case cases[] = {
      {"exact", {1, 2, 3, 4}, true},
      {"longer, same first bytes", {1, 2, 3, 4, 0, 0}, true},
      {"shorter: its last bytes were not stored", {1, 2}, false},
      {"differing", {1, 2, 3, 5}, false},
      {"longer, differing", {1, 2, 3, 5, 0, 0}, false},
      {"empty", {}, false},
  };
  for (const Case& c : cases) {
    const Bytes reply = SimHub::Frame(0x0510, c.data);
    EXPECT_EQ(FlashWrite::ReadBackConfirms(reply.data(), static_cast<int>(reply.size()), image), c.confirms) << c.name;
  }
  const Bytes exact = SimHub::Frame(0x0510, image);
  EXPECT_FALSE(FlashWrite::ReadBackConfirms(exact.data(), 0, image)) << "no reply";

  // A frame to a sensor on the bus: its own header, a checksum over it.
  const Bytes frame = Frame::Build(Frame::Request(0x0100), 0x07);
  EXPECT_EQ(frame, (Bytes{0xF8, 0x07, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x09}));
}

template <class Hub>
class OnSimulator : public HubTesting::OnSimulator<Hub> {
 protected:
  using Base = HubTesting::OnSimulator<Hub>;
  using Base::hub;
  using Base::sim;

  void Start(SimHub::HubOptions options) { Base::AttachSim(std::move(options), kCom); }

  bool Open(const std::string& extra) {
    hub = std::make_shared<Hub>(std::make_shared<CSerial>());
    boost::property_tree::ptree tree;
    tree.put("com", kCom);
    tree.put("transmissiontimeout", 50);
    Configuration(tree, extra);
    return hub->Open(tree);
  }

  static void Configuration(boost::property_tree::ptree& tree, const std::string& pairs) {
    std::size_t at = 0;
    while (at < pairs.size()) {
      const std::size_t end = std::min(pairs.find(';', at), pairs.size());
      const std::string pair = pairs.substr(at, end - at);
      const std::size_t equals = pair.find('=');
      if (equals != std::string::npos) tree.put(pair.substr(0, equals), pair.substr(equals + 1));
      at = end + 1;
    }
  }

  std::shared_ptr<QnSensor> Sensor(std::size_t i) const {
    return std::dynamic_pointer_cast<QnSensor>(hub->GetSensors().at(i));
  }

  // The data of the last request with this command word.
  std::optional<Bytes> LastRequest(std::uint16_t command) const {
    std::optional<Bytes> found;
    for (const auto& request : sim->RequestsReceived())
      if (Frame::Word(request.data() + 4) == command) found = Bytes(request.begin() + 6, request.end() - 2);
    return found;
  }
};

Bytes AddressedImage(std::uint8_t address, std::size_t size = 64) {
  Bytes image(size, 0x33);
  image[6] = address;
  image[7] = 0;
  return image;
}

using Cu = OnSimulator<CCu>;

// Slot 1 never answers and slot 2 is the hub's own: the data offsets still
// count every slot's block, and positions are slot numbers.
TEST_F(Cu, SlotsBecomeSensorsAndFramesCarryPositions) {
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::UsbCu;
  options.sensors = {{"QN DKv6 first", AddressedImage(3), {}},
                     {"", AddressedImage(4), {}},
                     {"ExtV", {}, {}},
                     {"QN DKv4 last", AddressedImage(9), {}}};
  Start(std::move(options));
  ASSERT_TRUE(Open("device=usbcu quatcalibratedt;frequency=60"));

  // The table went out with the data type's format and the shared period.
  const auto table = LastRequest(0x0404);
  ASSERT_TRUE(table);
  ASSERT_EQ(table->size(), 4u * 8u + 8u);
  for (std::size_t slot = 0; slot < 4; ++slot) {
    const std::uint8_t* entry = table->data() + 8 * slot;
    EXPECT_EQ(entry[0] << 8 | entry[1], slot < 3 ? 4166 : 4167) << slot;
    EXPECT_EQ(Frame::Word(entry + 4), 0x0203) << slot;
    EXPECT_EQ(entry[7], 30) << slot;
  }
  EXPECT_EQ(Frame::Word(table->data() + 32), 0);
  EXPECT_EQ(hub->GetSlotCount(), 4);
  EXPECT_EQ(hub->GetHubFlash().size(), 64u);

  ASSERT_EQ(hub->GetSensors().size(), 3u);
  struct Expected {
    const char* identity;
    int offset, position;
    std::size_t flash;
  };
  const Expected expected[] = {{"QN DKv6 first", 14, 0, 64}, {"ExtV", 74, 2, 0}, {"QN DKv4 last", 104, 3, 64}};
  for (std::size_t i = 0; i < 3; ++i) {
    const auto sensor = Sensor(i);
    EXPECT_EQ(sensor->GetId(), expected[i].identity);
    EXPECT_EQ(sensor->GetDataType(), DataType::kQuatCalibrated);
    EXPECT_EQ(sensor->GetDataSize(), 30);
    EXPECT_EQ(sensor->GetDataOffset(), expected[i].offset);
    EXPECT_EQ(sensor->GetIndex(), expected[i].position);
    EXPECT_EQ(sensor->GetFlash().size(), expected[i].flash);
  }
  EXPECT_TRUE(log.Contains("<info> found 4 hub sensors slot(s)"));
  EXPECT_TRUE(log.Contains("<info> found internal \"ExtV\" sensor"));
  EXPECT_TRUE(log.Contains("<info> 3 sensor(s) found"));

  // Bus addresses from the cached images; the internal sensor has none.
  EXPECT_EQ(hub->GetSensorId(3), "QN DKv6 first");
  EXPECT_EQ(hub->GetSensorId(9), "QN DKv4 last");
  EXPECT_EQ(hub->GetSensorId(4), "");
  EXPECT_TRUE(log.Contains("<error> flash has zero size"));
  EXPECT_TRUE(log.Contains("<error> sensor 4 not found"));

  hub->SetDataHandler(std::ref(frames));
  ASSERT_TRUE(WaitFor([&] { return frames.Frames().size() >= 3; }));
  hub->StopStream();
  for (const auto& frame : frames.Frames()) {
    ASSERT_EQ(frame.size(), 14u + 4u * 30u + 2u);
    const std::uint16_t counter = Frame::Word(frame.data() + 6);
    EXPECT_EQ(Frame::Word(frame.data() + 8), static_cast<std::uint16_t>(counter * 3));
    EXPECT_EQ(Frame::Word(frame.data() + 10) | Frame::Word(frame.data() + 12) << 16, 0b1111);
    EXPECT_EQ(Frame::Word(frame.data() + 104), SimHub::SyntheticWord(counter, 3, 0));
  }
}

// A sensor on the bus that never answers is waited out by the read time-out;
// only a hub that reports it ends the request early. Either way the slot
// yields no sensor and the next one is still found.
TEST_F(Cu, ASilentSlotYieldsNoSensor) {
  for (const bool hubReports : {false, true}) {
    SCOPED_TRACE(hubReports ? "the hub reports the silent slot" : "the slot stays silent");
    LogCapture caseLog;
    SimHub::HubOptions options;
    options.kind = SimHub::HubKind::UsbCu;
    options.sensors = {{"", AddressedImage(4), {}}, {"QN DKv6 answering", AddressedImage(5), {}}};
    options.directAccessTimeout = hubReports;
    Start(std::move(options));
    ASSERT_TRUE(Open("device=usbcu raw"));
    ASSERT_EQ(hub->GetSensors().size(), 1u);
    EXPECT_EQ(Sensor(0)->GetId(), "QN DKv6 answering");
    EXPECT_EQ(Sensor(0)->GetIndex(), 1);
    EXPECT_EQ(Sensor(0)->GetDataOffset(), 14 + 20);
    const auto requests = sim->RequestsReceived();
    EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [](const Bytes& frame) {
      return frame[1] == 4 && Frame::Word(frame.data() + 4) == 0x0100;
    })) << "the silent slot was asked";
    EXPECT_EQ(caseLog.Contains("<warning> send request error: direct access timeout"), hubReports);
    TearDown();
  }
}

TEST_F(Cu, TheConfigurationTextSetsTheTableOrFailsTheOpen) {
  struct Case {
    const char* cuconfig;
    std::vector<std::string> sensors;  // found, in slot order; none when the open fails
    const char* logged;
  };
  // Sensor 0 answers at bus address 1 (address pair FE 01, the word 0x01FE),
  // sensor 1 at 2 (FD 02). The text overwrites the hub's table from its
  // start; entries after it stay unless the text ends the table itself.
  const std::vector<Case> cases{
      {"1234 02FD 0200 1400", {"QN DKv6 second", "QN DKv6 second"}, "<info> found 2 hub sensors slot(s)"},
      {"1234  02FD 0200 1400 0000", {"QN DKv6 second"}, "<info> found 1 hub sensors slot(s)"},
      // Three slots on a hub of two: the hub keeps two.
      {"1 01FE 0200 1400 1 02FD 0200 1400 1 03FC 0200 1400", {}, "<error> state does not matched"},
      {"1234 01FE 0200 zz", {}, "<error> cuconfig word \"zz\" is no hexadecimal 16-bit number"},
      {"12345 01FE 0200 1400", {}, "<error> cuconfig word \"12345\" is no hexadecimal 16-bit number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cuconfig);
    LogCapture caseLog;
    SimHub::HubOptions options;
    options.kind = SimHub::HubKind::UsbCu;
    options.sensors = {{"QN DKv6 first", AddressedImage(1), {}}, {"QN DKv6 second", AddressedImage(2), {}}};
    Start(std::move(options));
    EXPECT_EQ(Open(std::string("device=usbcu;cuconfig=") + c.cuconfig), !c.sensors.empty());
    EXPECT_TRUE(caseLog.Contains(c.logged));
    ASSERT_EQ(hub->GetSensors().size(), c.sensors.size());
    for (std::size_t i = 0; i < c.sensors.size(); ++i) EXPECT_EQ(Sensor(i)->GetId(), c.sensors[i]);
    if (!c.sensors.empty()) {
      EXPECT_EQ(Sensor(0)->GetDataSize(), 0x14);
      const auto table = LastRequest(0x0404);
      ASSERT_TRUE(table);
      ASSERT_EQ(table->size(), c.sensors.size() * 8 + 8);
      EXPECT_EQ(Bytes(table->begin(), table->begin() + 8), (Bytes{0x34, 0x12, 0xFD, 0x02, 0x00, 0x02, 0x00, 0x14}));
      EXPECT_EQ(Frame::Word(table->data() + table->size() - 8), 0);
    } else {
      EXPECT_TRUE(caseLog.Contains("<error> configure hub failed"));
    }
    TearDown();
  }
}

TEST_F(Cu, AHubWithoutSlotsOpensWithoutSensors) {
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::UsbCu;
  Start(std::move(options));
  ASSERT_TRUE(Open("device=usbcu raw"));
  EXPECT_EQ(hub->GetSlotCount(), 0);
  EXPECT_TRUE(hub->GetSensors().empty());
  EXPECT_EQ(LastRequest(0x0404), Bytes(8, 0));
  EXPECT_EQ(hub->GetSensorId(0), "");
  EXPECT_FALSE(hub->SetSensorFlash(0, Bytes(64, 1)));
}

// Auto-transmit and power travel in one word: switching one keeps the other,
// and only the auto-transmit switch is repeated.
TEST_F(Cu, AutoTransmitAndPowerShareOneWord) {
  SimHub::HubOptions options;
  options.kind = SimHub::HubKind::UsbCu;
  Start(std::move(options));
  ASSERT_TRUE(Open("device=usbcu raw"));
  hub->SetPower(true);
  struct Step {
    const char* what;
    std::function<void()> act;
    std::uint16_t word;
    std::size_t times;
  };
  const std::vector<Step> steps = {
      {"auto-transmit off, power on", [&] { hub->SetAutoTx(false); }, 0xFF00, 5},
      {"auto-transmit on, power on", [&] { hub->SetAutoTx(true); }, 0xFFFF, 5},
      {"power off, auto-transmit on", [&] { hub->SetPower(false); }, 0x00FF, 1},
      {"auto-transmit off, power off", [&] { hub->SetAutoTx(false); }, 0x0000, 5},
  };
  // The hub's identify request marks a point on the line: once its reply is
  // in, every request sent before it has reached the hub.
  for (const auto& step : steps) {
    ASSERT_TRUE(hub->GetHubId());
    const std::size_t before = sim->RequestsReceived().size();
    step.act();
    ASSERT_TRUE(hub->GetHubId());
    const auto received = sim->RequestsReceived();
    ASSERT_GT(received.size(), before + step.times) << step.what;
    for (std::size_t i = before; i < before + step.times; ++i) {
      EXPECT_EQ(Frame::Word(received[i].data() + 4), 0x0400) << step.what;
      EXPECT_EQ(Frame::Word(received[i].data() + 6), step.word) << step.what;
    }
    EXPECT_EQ(Frame::Word(received[before + step.times].data() + 4), 0x0100) << step.what << ": more switches than expected";
  }
}

using Dongle = OnSimulator<CDongle>;

TEST_F(Dongle, StreamsOrIsPolledAndAnswersOnlyToBusAddressOne) {
  struct Case {
    const char* configuration;
    bool softwareStream;
  };
  for (const Case c : {Case{"device=dongle raw;frequency=100", false}, Case{"device=dongle raw;frequency=10", true}}) {
    SCOPED_TRACE(c.configuration);
    SimHub::HubOptions options;
    options.kind = SimHub::HubKind::Dongle;
    options.sensors = {{"QN DKv4 dongle", AddressedImage(0, 512), {}}};
    Start(std::move(options));
    ASSERT_TRUE(Open(c.configuration));
    EXPECT_EQ(hub->IsSoftwareStream(), c.softwareStream);
    EXPECT_EQ(log.Contains("<info> software stream enabled"), c.softwareStream);
    EXPECT_EQ(LastRequest(0x0401), (Bytes{0xE8, 0x03}));
    EXPECT_EQ(LastRequest(0x0402).has_value(), !c.softwareStream);

    ASSERT_EQ(hub->GetSensors().size(), 1u);
    EXPECT_EQ(Sensor(0)->GetDataType(), DataType::kRaw);
    EXPECT_EQ(Sensor(0)->GetDataOffset(), 14);
    EXPECT_EQ(Sensor(0)->GetDataSize(), 20);
    EXPECT_EQ(hub->GetSensorId(1), "QN DKv4 dongle");
    EXPECT_EQ(hub->GetSensorId(0), "");
    EXPECT_TRUE(hub->GetSensorFlash(2).empty());
    EXPECT_TRUE(log.Contains("<error> sensor 0 not found"));
    EXPECT_EQ(hub->GetSensorFlash(1), AddressedImage(0, 512));

    hub->SetDataHandler(std::ref(frames));
    ASSERT_TRUE(WaitFor([&] { return frames.Frames().size() >= 2; }));
    hub->StopStream();
    for (const auto& frame : frames.Frames()) {
      ASSERT_EQ(frame.size(), 14u + 20u + 2u);
      const std::uint16_t counter = Frame::Word(frame.data() + 6);
      EXPECT_EQ(Frame::Word(frame.data() + 8), 0);
      EXPECT_EQ(Frame::Word(frame.data() + 10) | Frame::Word(frame.data() + 12) << 16, 1);
      for (int k = 0; k < 10; ++k) EXPECT_EQ(Frame::Word(frame.data() + 14 + 2 * k), SimHub::SyntheticWord(counter, 0, k));
    }
    TearDown();
  }
}

}  // namespace
