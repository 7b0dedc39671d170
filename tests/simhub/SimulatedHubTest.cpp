// The simulated hub checked from the client's end of its pty, with plain
// POSIX calls: what the SDK and the tool will see on the wire.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "simhub/Codec.h"
#include "simhub/LineMarker.h"
#include "simhub/SimulatedHub.h"

namespace SimHub {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = 3s;      // bound of every wait for something that must come
constexpr auto kQuiet = 150ms;   // no byte for this long ends a burst

Bytes Hex(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Bytes Word(std::uint16_t word) { return Bytes{static_cast<std::uint8_t>(word & 0xFF), static_cast<std::uint8_t>(word >> 8)}; }

// ---- the codec, without a line ----

TEST(SimHubCodec, BuildsFramesByteForByte) {
  struct Case {
    const char* name;
    Bytes built;
    Bytes expected;
  };
  const Case cases[] = {
      {"identify request", Frame(0x0100, Word(0)), Hex({0xAA, 0x55, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00, 0xB4, 0x56})},
      {"wake", Frame(0x0800, {}), Hex({0xAA, 0x55, 0x08, 0x00, 0x00, 0x08, 0xB2, 0x5D})},
      {"identify without data", Frame(0x0100, {}), Hex({0xAA, 0x55, 0x08, 0x00, 0x00, 0x01, 0xB2, 0x56})},
      {"stream on", Frame(0x0400, Word(0xFFFF)), Hex({0xAA, 0x55, 0x0A, 0x00, 0x00, 0x04, 0xFF, 0xFF, 0xB3, 0x59})},
      {"data mode 1003", Frame(0x0401, Word(1003)), Hex({0xAA, 0x55, 0x0A, 0x00, 0x01, 0x04, 0xEB, 0x03, 0xA0, 0x5D})},
      {"data period 16665", Frame(0x0402, Word(16665)), Hex({0xAA, 0x55, 0x0A, 0x00, 0x02, 0x04, 0x19, 0x41, 0xCF, 0x9A})},
      {"sensor on a bus", Frame(0x0100, Word(0), 0x12),
       Hex({0xED, 0x12, 0x0A, 0x00, 0x00, 0x01, 0x00, 0x00, 0xF7, 0x13})},
  };
  for (const Case& c : cases) EXPECT_EQ(c.built, c.expected) << c.name;
}

TEST(SimHubCodec, ReaderKeepsOnlyWholeCheckedFrames) {
  const Bytes good = Frame(0x0300, Word(0));
  Bytes badSum = good;
  badSum.back() ^= 1;
  Bytes length7 = good;
  WriteWord(length7, 2, 7);
  Bytes length16385 = good;
  WriteWord(length16385, 2, 0x4001);
  auto join = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
  };
  struct Case {
    const char* name;
    Bytes stream;
    std::size_t frames;  // good frames the reader must find
  };
  const Case cases[] = {
      {"one frame", good, 1},
      {"noise before", join({Hex({0x00, 0xAA, 0x13, 0x55}), good}), 1},
      {"bad checksum, then a good one", join({badSum, good}), 1},
      {"length 7, then a good one", join({length7, good}), 1},
      {"length 16385, then a good one", join({length16385, good}), 1},
      {"cut short", Bytes(good.begin(), good.end() - 1), 0},
      {"back to back", join({good, good, good}), 3},
  };
  for (const Case& c : cases) {
    FrameReader reader;
    reader.Feed(c.stream.data(), c.stream.size());
    std::size_t found = 0;
    while (auto frame = reader.Next()) {
      EXPECT_EQ(*frame, good) << c.name;
      ++found;
    }
    EXPECT_EQ(found, c.frames) << c.name;
  }
}

// ---- the hub on a pty ----

class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern = (fs::temp_directory_path() / "simhub-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// The client's end, as a serial transport would use it.
class Client {
 public:
  explicit Client(const fs::path& link) : fd_(::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + link.string() + ": " + std::strerror(errno));
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    tcsetattr(fd_, TCSANOW, &settings);
  }
  ~Client() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void Write(const Bytes& bytes) const { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }

  // Everything that arrives until the line has been quiet for `quiet`.
  // hungUp tells whether the far end went away meanwhile.
  Bytes ReadBurst(std::chrono::milliseconds quiet = kQuiet, bool* hungUp = nullptr) {
    Bytes out;
    const auto deadline = Clock::now() + kLimit;
    while (Clock::now() < deadline) {
      pollfd poller{fd_, POLLIN, 0};
      if (poll(&poller, 1, static_cast<int>(quiet.count())) <= 0) break;
      std::uint8_t buffer[4096];
      const ssize_t count = ::read(fd_, buffer, sizeof buffer);
      if (count <= 0) {
        if (hungUp) *hungUp = count == 0 || errno == EIO;
        if (count == 0 || errno == EIO) break;
        continue;
      }
      received_ += static_cast<std::uint64_t>(count);
      out.insert(out.end(), buffer, buffer + count);
    }
    return out;
  }

  // The next `count` bytes, as far as they come within the limit.
  Bytes ReadBytes(std::size_t count) {
    Bytes out;
    const auto deadline = Clock::now() + kLimit;
    while (out.size() < count && Clock::now() < deadline) {
      pollfd poller{fd_, POLLIN, 0};
      if (poll(&poller, 1, 50) <= 0) continue;
      std::uint8_t buffer[4096];
      const ssize_t got = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
      if (got <= 0) continue;
      received_ += static_cast<std::uint64_t>(got);
      out.insert(out.end(), buffer, buffer + got);
    }
    return out;
  }

  // Drops everything up to the `total`th byte the line has brought, and the
  // frames read but not yet taken; false when those bytes do not come.
  bool DropThrough(std::uint64_t total) {
    ReadBytes(total > received_ ? static_cast<std::size_t>(total - received_) : 0);
    reader_.Clear();
    return received_ == total;
  }

  // The next whole, checked frame.
  std::optional<Bytes> ReadFrame() {
    const auto deadline = Clock::now() + kLimit;
    while (Clock::now() < deadline) {
      if (auto frame = reader_.Next()) return frame;
      pollfd poller{fd_, POLLIN, 0};
      if (poll(&poller, 1, 50) <= 0) continue;
      std::uint8_t buffer[4096];
      const ssize_t count = ::read(fd_, buffer, sizeof buffer);
      if (count <= 0) continue;
      received_ += static_cast<std::uint64_t>(count);
      reader_.Feed(buffer, static_cast<std::size_t>(count));
    }
    return std::nullopt;
  }

  std::optional<Bytes> Ask(std::uint16_t word, const Bytes& data = Word(0)) {
    Write(Frame(word, data));
    return ReadFrame();
  }

 private:
  int fd_;
  FrameReader reader_;
  std::uint64_t received_ = 0;  // bytes read from the line in all
};

SimSensor Sensor(std::uint8_t fill, std::size_t size = 512) { return SimSensor{"DKv3", Bytes(size, fill), {}}; }

class SimHubLine : public ::testing::Test {
 protected:
  void Start(HubOptions options) {
    hub_ = std::make_unique<SimulatedHub>(std::move(options));
    hub_->AttachPty(directory_.Path(), 7);
  }
  void Start() {
    HubOptions options;
    options.identity = "BSmain test hub";
    options.sensors = {Sensor(0x11), Sensor(0x22)};
    Start(std::move(options));
  }
  fs::path Link() const { return directory_.Path() / "ttyUSB7"; }

  TempDirectory directory_;
  std::unique_ptr<SimulatedHub> hub_;
};

Bytes Text(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  if (bytes.size() % 2) bytes.push_back(0);
  return bytes;
}

TEST_F(SimHubLine, AnswersIdentifyAndStateAndTakesTheDataFormat) {
  Start();
  ASSERT_TRUE(fs::is_symlink(Link()));
  Client client(Link());

  EXPECT_EQ(client.Ask(0x0100), Frame(0x0110, Text("BSmain test hub")));
  // The tool's form of the request, without a data word, is answered alike.
  EXPECT_EQ(client.Ask(0x0100, {}), Frame(0x0110, Text("BSmain test hub")));

  struct Step {
    const char* name;
    Bytes sent;
    std::uint16_t formatReported;
    std::uint16_t powerReported;
  };
  const Step steps[] = {
      {"nothing", {}, 1000, 0},
      {"quat", Frame(0x0402, Word(4321)), 4321, 0},
      {"unknown format", Frame(0x0402, Word(1234)), 4321, 0},
      {"power on", Frame(0x0401, Word(0xFFFF)), 4321, 0xFFFF},
      {"reset", Frame(0xFFFF, Word(0xFFFF)), 1000, 0},
      {"quat again", Frame(0x0402, Word(4321)), 4321, 0},
      {"raw", Frame(0x0402, Word(1000)), 1000, 0},
  };
  for (const Step& step : steps) {
    if (!step.sent.empty()) client.Write(step.sent);
    const auto state = client.Ask(0x0300);
    ASSERT_TRUE(state) << step.name;
    ASSERT_EQ(CommandWord(*state), 0x0310);
    EXPECT_EQ(ReadWord(FrameData(*state), 4), step.formatReported) << step.name;
    EXPECT_EQ(ReadWord(FrameData(*state), 2), step.powerReported) << step.name;
  }
  const Bytes first = Frame(0x0100, Word(0));
  EXPECT_EQ(hub_->RequestsReceived().front(), first);
  EXPECT_TRUE(hub_->WaitForRequest(0x0402, 0ms));
  EXPECT_FALSE(hub_->WaitForRequest(0x0500, 0ms));
}

TEST_F(SimHubLine, StreamsDataFramesOfTheReportedFormat) {
  HubOptions options;
  options.sensors = {Sensor(1), Sensor(2), Sensor(3)};
  options.frameRateHz = 200;
  Start(std::move(options));
  Client client(Link());

  struct Format {
    std::uint16_t code;
    std::uint16_t word;
    std::size_t blockSize;
  };
  for (const Format format : {Format{1000, 0x0210, 20}, Format{4321, 0x0211, 10}}) {
    client.Write(Frame(0x0402, Word(format.code)));
    for (int i = 0; i < 5; ++i) client.Write(Frame(0x0400, Word(0xFFFF)));
    std::optional<std::uint16_t> previous;
    for (int n = 0; n < 4; ++n) {
      const auto frame = client.ReadFrame();
      ASSERT_TRUE(frame);
      ASSERT_EQ(frame->size(), 14 + 20 * format.blockSize + 2) << format.code;
      EXPECT_EQ(CommandWord(*frame), format.word);
      const std::uint16_t counter = ReadWord(*frame, 6);
      if (previous) {
        EXPECT_EQ(counter, static_cast<std::uint16_t>(*previous + 1));
      }
      previous = counter;
      EXPECT_EQ(ReadWord(*frame, 8), static_cast<std::uint16_t>(counter * 3));
      EXPECT_EQ(ReadLong(*frame, 10), 0b111u);
      for (int position = 0; position < 20; ++position)
        for (std::size_t k = 0; k < format.blockSize / 2; ++k)
          ASSERT_EQ(ReadWord(*frame, 14 + position * format.blockSize + 2 * k),
                    position < 3 ? SyntheticWord(counter, position, static_cast<int>(k)) : 0)
              << "position " << position << " word " << k;
    }
    EXPECT_TRUE(hub_->Streaming());
    for (int i = 0; i < 5; ++i) client.Write(Frame(0x0400, Word(0)));
    LineMarker(*hub_).Mark();  // the hub has handled the requests before it
    EXPECT_FALSE(hub_->Streaming());
    client.ReadBurst();  // what was under way
    EXPECT_TRUE(client.ReadBurst().empty()) << "still streaming after auto-transmit off";
  }
  EXPECT_GE(hub_->DataFramesSent(), 8u);
}

TEST_F(SimHubLine, DataFrameHookSetsMaskAndBlocks) {
  HubOptions options;
  options.sensors = {Sensor(1)};
  options.dataFrameHook = [](DataFrameContent& content) {
    content.mask = 0x00080001;
    std::fill(content.blocks.begin(), content.blocks.end(), 0);
    content.blocks[19 * 20] = static_cast<std::uint8_t>(content.counter);
    content.blocks[19 * 20 + 19] = 0x5A;
  };
  Start(std::move(options));
  Client client(Link());
  client.Write(Frame(0x0400, Word(0xFFFF)));
  const auto frame = client.ReadFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(ReadLong(*frame, 10), 0x00080001u);
  EXPECT_EQ((*frame)[14 + 19 * 20], static_cast<std::uint8_t>(ReadWord(*frame, 6)));
  EXPECT_EQ((*frame)[14 + 19 * 20 + 19], 0x5A);
  EXPECT_EQ((*frame)[14], 0);
}

TEST_F(SimHubLine, FlashWriteIsReadBackExactlyAndSurvivesAFile) {
  Start();
  Client client(Link());
  const auto before = client.Ask(0x0500);
  ASSERT_TRUE(before);
  EXPECT_EQ(*before, Frame(0x0510, Bytes(512, 0x11)));

  Bytes image(2048);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);
  client.Write(Frame(0x0600, image));
  EXPECT_EQ(client.Ask(0x0500), Frame(0x0510, image)) << "the write is not answered";
  EXPECT_EQ(hub_->Flash(0), image);
  EXPECT_EQ(hub_->Flash(1), Bytes(512, 0x22));

  // A request for another address is not the hub's: no answer.
  client.Write(Frame(0x0500, Word(0), 0x12));
  EXPECT_TRUE(client.ReadBurst().empty());

  const fs::path file = directory_.Path() / "images";
  hub_->SetFlash(1, Bytes{1, 2, 3});
  hub_->SaveImages(file);
  HubOptions fresh;
  fresh.sensors = {Sensor(0)};
  SimulatedHub other(std::move(fresh));
  other.LoadImages(file);
  EXPECT_EQ(other.Flash(0), image);
  EXPECT_EQ(other.Flash(1), (Bytes{1, 2, 3}));

  std::ofstream(file, std::ios::trunc) << "simhub-images 1\n100\nshort";
  EXPECT_THROW(other.LoadImages(file), std::runtime_error);
  EXPECT_EQ(other.Flash(0), image) << "a bad file must change nothing";
}

// A sensor answers a write only when the test asks for it; the write faults
// show between the write and the next read.
TEST_F(SimHubLine, FlashWritesAreAnsweredOnlyAsTheTestSays) {
  const Bytes before(512, 0x11);
  const Bytes image(512, 0x77);
  struct Case {
    const char* name;
    bool acknowledges;
    Fault fault;
    std::optional<Bytes> answer;  // what follows the write on the line
    bool hangsUp;
    Bytes stored;
  };
  const Case cases[] = {
      {"no answer", false, Fault::None, Bytes{}, false, image},
      {"acknowledged", true, Fault::None, Frame(0x0610, Word(0)), false, image},
      {"refused", false, Fault::WriteRefused, Bytes{}, false, before},
      {"refused, acknowledged", true, Fault::WriteRefused, Frame(0x0610, Word(1)), false, before},
      {"garbage", false, Fault::GarbageAfterWrite, GarbageBytes(), false, image},
      {"line drops", false, Fault::DropLineAfterWrite, std::nullopt, true, image},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HubOptions options;
    options.sensors = {Sensor(0x11)};
    options.acknowledgesWrites = c.acknowledges;
    Start(std::move(options));
    Client client(Link());
    hub_->InjectFault(c.fault);
    client.Write(Frame(0x0600, image));
    bool hungUp = false;
    const Bytes answer = client.ReadBurst(kQuiet, &hungUp);
    EXPECT_EQ(hungUp, c.hangsUp);
    if (c.answer) {
      EXPECT_EQ(answer, *c.answer);
    }
    EXPECT_EQ(hub_->Flash(0), c.stored);
    if (!c.hangsUp) {
      EXPECT_EQ(client.Ask(0x0500), Frame(0x0510, c.stored));
    }
  }
}

TEST_F(SimHubLine, EachWireFaultShowsOnTheNextFrameOnly) {
  const std::string identity = "BSmain fault hub";
  const Bytes good = Frame(0x0110, Text(identity));
  const std::size_t size = good.size();
  struct Case {
    Fault fault;
    std::function<void(const Bytes& raw)> check;
  };
  const Case cases[] = {
      {Fault::CorruptChecksum,
       [&](const Bytes& raw) {
         ASSERT_EQ(raw.size(), size);
         EXPECT_TRUE(std::equal(good.begin(), good.end() - 2, raw.begin()));
         EXPECT_NE(ReadWord(raw, size - 2), ReadWord(good, size - 2));
       }},
      {Fault::TruncatedFrame,
       [&](const Bytes& raw) {
         ASSERT_LT(raw.size(), size);
         ASSERT_GE(raw.size(), 4u);
         EXPECT_TRUE(std::equal(raw.begin(), raw.end(), good.begin()));
       }},
      {Fault::GarbageBetweenFrames,
       [&](const Bytes& raw) {
         ASSERT_GT(raw.size(), size);
         EXPECT_TRUE(std::equal(good.begin(), good.end(), raw.end() - static_cast<std::ptrdiff_t>(size)));
         EXPECT_EQ(std::count(raw.begin(), raw.end() - static_cast<std::ptrdiff_t>(size), 0xAA), 0);
       }},
      {Fault::WrongLength,
       [&](const Bytes& raw) {
         ASSERT_EQ(raw.size(), size);
         EXPECT_NE(ReadWord(raw, 2), size);
         EXPECT_EQ(ReadWord(raw, 4), 0x0110);
       }},
      {Fault::OddLength,
       [&](const Bytes& raw) {
         ASSERT_EQ(raw.size() % 2, 1u);
         EXPECT_EQ(ReadWord(raw, 2), raw.size());
         EXPECT_TRUE(std::equal(good.begin() + 4, good.end() - 2, raw.begin() + 4));
         EXPECT_EQ(raw[raw.size() - 3], 0);
         // Summed as words with the lone byte left out, the checksum holds.
         EXPECT_EQ(ReadWord(raw, raw.size() - 2), Checksum(raw.data(), raw.size() - 3));
       }},
  };
  HubOptions options;
  options.identity = identity;
  Start(std::move(options));
  Client client(Link());
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    hub_->InjectFault(c.fault, 2);
    for (int affected = 0; affected < 2; ++affected) {
      client.Write(Frame(0x0100, Word(0)));
      c.check(client.ReadBurst());
    }
    client.Write(Frame(0x0100, Word(0)));
    EXPECT_EQ(client.ReadBurst(), good) << "the fault outlived its count";
  }
}

TEST_F(SimHubLine, StopAnsweringSilencesStreamAndRequests) {
  Start();
  Client client(Link());
  client.Write(Frame(0x0400, Word(0xFFFF)));
  ASSERT_TRUE(client.ReadFrame());
  hub_->InjectFault(Fault::StopAnswering, 2);
  EXPECT_FALSE(hub_->Streaming());
  // The frames under way still come, however long the line takes with them.
  const std::uint64_t sent = hub_->BytesSent();
  ASSERT_TRUE(client.DropThrough(sent));
  client.Write(Frame(0x0400, Word(0xFFFF)));
  client.Write(Frame(0x0100, Word(0)));
  LineMarker(*hub_).Mark();
  EXPECT_EQ(hub_->BytesSent(), sent) << "an ignored request was answered";
  EXPECT_FALSE(hub_->Streaming()) << "an ignored request changed the hub";
  EXPECT_EQ(client.Ask(0x0100), Frame(0x0110, Text("BSmain test hub")));
}

TEST_F(SimHubLine, DropLineCutsAFrameAndReplugsUnderTheSameName) {
  Start();
  const fs::path before = fs::read_symlink(Link());
  Client client(Link());
  hub_->InjectFault(Fault::DropLine);
  client.Write(Frame(0x0100, Word(0)));
  bool hungUp = false;
  const Bytes raw = client.ReadBurst(kQuiet, &hungUp);
  EXPECT_TRUE(hungUp);
  EXPECT_LT(raw.size(), Frame(0x0110, Text("BSmain test hub")).size());
  client.Close();

  EXPECT_NE(fs::read_symlink(Link()), before);
  Client again(Link());
  EXPECT_EQ(again.Ask(0x0100), Frame(0x0110, Text("BSmain test hub")));
}

// A hub cannot see the port close: it streams on, and the next session
// starts in the middle of a frame. Only when a test asks for it does the hub
// stop instead, so that a new session starts without stale bytes.
TEST_F(SimHubLine, AClosedLineLeavesTheHubStreamingUnlessToldOtherwise) {
  for (const bool stops : {false, true}) {
    SCOPED_TRACE(stops ? "stops streaming on close" : "streams on");
    HubOptions options;
    options.identity = "BSmain test hub";
    options.sensors = {Sensor(0x11)};
    options.stopsStreamingOnClose = stops;
    Start(std::move(options));
    {
      Client client(Link());
      client.Write(Frame(0x0400, Word(0xFFFF)));
      ASSERT_TRUE(client.ReadFrame());
    }  // closed while the hub streams
    const auto sent = hub_->DataFramesSent();
    if (stops) {
      const auto deadline = Clock::now() + kLimit;
      while (hub_->Streaming() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
      EXPECT_FALSE(hub_->Streaming());
      for (int session = 0; session < 3; ++session) {
        Client client(Link());
        EXPECT_TRUE(client.ReadBurst().empty()) << "session " << session;
        EXPECT_EQ(client.Ask(0x0100), Frame(0x0110, Text("BSmain test hub")));
      }
      continue;
    }
    EXPECT_TRUE(hub_->WaitForDataFrames(sent + 3, kLimit)) << "frames go on while nobody listens";
    // The port opens while a frame is under way: its second half comes first,
    // then whole frames.
    const std::size_t whole = 14 + 20 * 20 + 2;
    const std::size_t tail = whole - whole / 2;
    Client client(Link());
    const Bytes bytes = client.ReadBytes(tail + whole);
    ASSERT_EQ(bytes.size(), tail + whole);
    EXPECT_NE(bytes[0], 0xAA);
    const Bytes next(bytes.begin() + static_cast<std::ptrdiff_t>(tail), bytes.end());
    EXPECT_EQ(CommandWord(next), 0x0210);
    EXPECT_EQ(Frame(0x0210, FrameData(next)), next);
  }
}

TEST_F(SimHubLine, EchoingAdapterReturnsTheRequestFirst) {
  HubOptions options;
  options.identity = "echo";
  options.echoRequests = true;
  Start(std::move(options));
  Client client(Link());
  const Bytes request = Frame(0x0100, Word(0));
  client.Write(request);
  Bytes expected = request;
  const Bytes reply = Frame(0x0110, Text("echo"));
  expected.insert(expected.end(), reply.begin(), reply.end());
  EXPECT_EQ(client.ReadBurst(), expected);
}

TEST_F(SimHubLine, StopRemovesTheLinkAndIsSafeTwice) {
  Start();
  ASSERT_TRUE(fs::is_symlink(Link()));
  hub_->Stop();
  EXPECT_FALSE(fs::exists(fs::symlink_status(Link())));
  hub_->Stop();
  hub_.reset();
}

// ---- the hub on a network line ----

// The client's end of a network line, as the network transports use it.
class NetClient {
 public:
  NetClient(Protocol protocol, std::uint16_t port)
      : fd_(::socket(AF_INET, protocol == Protocol::Tcp ? SOCK_STREAM : SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    // A UDP socket is connected only to give its datagrams a destination.
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error(std::string("cannot reach the hub: ") + std::strerror(errno));
  }
  ~NetClient() { ::close(fd_); }

  void Write(const Bytes& bytes) const { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size())); }

  // What one receive brings: over UDP, exactly one datagram.
  Bytes Receive(std::chrono::milliseconds limit = kLimit) const {
    pollfd poller{fd_, POLLIN, 0};
    if (poll(&poller, 1, static_cast<int>(limit.count())) <= 0) return {};
    Bytes buffer(1 << 16);
    const ssize_t count = ::recv(fd_, buffer.data(), buffer.size(), 0);
    buffer.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return buffer;
  }

  // The next whole, checked frame.
  std::optional<Bytes> ReadFrame() {
    const auto deadline = Clock::now() + kLimit;
    while (Clock::now() < deadline) {
      if (auto frame = reader_.Next()) return frame;
      const Bytes chunk = Receive(50ms);
      reader_.Feed(chunk.data(), chunk.size());
    }
    return std::nullopt;
  }

  std::optional<Bytes> Ask(std::uint16_t word) {
    Write(Frame(word, Word(0)));
    return ReadFrame();
  }

 private:
  int fd_;
  FrameReader reader_;
};

HubOptions NetworkHub() {
  HubOptions options;
  options.identity = "BSmain network hub";
  options.sensors = {Sensor(0x11), Sensor(0x22)};
  options.frameRateHz = 200;
  return options;
}

TEST(SimHubNetwork, TcpTakesTheNextConnectionAfterAClose) {
  // Each session is to start without a stream, as a pty session does when
  // the hub is told to notice the close.
  HubOptions options = NetworkHub();
  options.stopsStreamingOnClose = true;
  SimulatedHub hub(std::move(options));
  const std::uint16_t port = hub.AttachNetwork(Protocol::Tcp);
  EXPECT_EQ(hub.Port(), port);
  {
    NetClient client(Protocol::Tcp, port);
    EXPECT_EQ(client.Ask(0x0100), Frame(0x0110, Text("BSmain network hub")));
    client.Write(Frame(0x0400, Word(0xFFFF)));
    ASSERT_TRUE(client.ReadFrame());
  }  // closed while the hub streams
  const auto deadline = Clock::now() + kLimit;
  while (hub.Streaming() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_FALSE(hub.Streaming()) << "a closed connection must end the session";
  for (int session = 0; session < 3; ++session) {
    NetClient client(Protocol::Tcp, port);
    EXPECT_TRUE(client.Receive(kQuiet).empty()) << "session " << session;
    EXPECT_EQ(client.Ask(0x0100), Frame(0x0110, Text("BSmain network hub"))) << "session " << session;
  }
}

TEST(SimHubNetwork, UdpSendsEachFrameAsOneDatagramToTheLastSender) {
  SimulatedHub hub(NetworkHub());
  NetClient client(Protocol::Udp, hub.AttachNetwork(Protocol::Udp));
  client.Write(Frame(0x0100, Word(0)));
  EXPECT_EQ(client.Receive(), Frame(0x0110, Text("BSmain network hub")));

  client.Write(Frame(0x0400, Word(0xFFFF)));
  for (int n = 0; n < 10; ++n) {
    const Bytes datagram = client.Receive();
    ASSERT_GE(datagram.size(), 6u);
    EXPECT_EQ(CommandWord(datagram), 0x0210) << "datagram " << n;
    EXPECT_EQ(ReadWord(datagram, 2), datagram.size()) << "datagram " << n << " is not one whole frame";
  }
  EXPECT_TRUE(hub.Streaming());
  // Another client takes the line over.
  NetClient other(Protocol::Udp, hub.Port());
  other.Write(Frame(0x0100, Word(0)));
  std::optional<Bytes> reply;
  while ((reply = other.ReadFrame()) && CommandWord(*reply) != 0x0110) {
  }
  EXPECT_EQ(reply, Frame(0x0110, Text("BSmain network hub")));
}

// ---- kinds and faults by name ----

// The standalone program's --kind and --fault take these names; the default
// identities are the ones by which an unnamed hub is recognised.
TEST(SimHubNames, EveryKindAndFaultHasItsName) {
  struct KindName {
    const char* name;
    HubKind kind;
    const char* identityHolds;
  };
  for (const KindName& row : {KindName{"bsmain", HubKind::BsMain, "BSmain"}, KindName{"usbcu", HubKind::UsbCu, "USB_CU"},
                              KindName{"dongle", HubKind::Dongle, "DKv"}, KindName{"stream", HubKind::Stream, ""},
                              KindName{"sdk", HubKind::QnSdk, ""}}) {
    EXPECT_EQ(KindByName(row.name), row.kind) << row.name;
    EXPECT_NE(DefaultIdentity(row.kind).find(row.identityHolds), std::string::npos) << row.name;
  }
  EXPECT_THROW(KindByName("emulator"), std::invalid_argument);
  for (const char* name : {"write-refused", "garbage-after-write", "drop-line-after-write", "short-flash-read",
                           "long-flash-read", "drop-line"})
    EXPECT_NO_THROW(FaultByName(name)) << name;
  EXPECT_EQ(FaultByName("short-flash-read"), Fault::ShortFlashRead);
  EXPECT_THROW(FaultByName("slow-write"), std::invalid_argument);
}

// ---- the standalone program ----

TEST(SimHubProgram, ServesUntilSignalledThenSavesImagesAndRemovesItsLink) {
  TempDirectory directory;
  const fs::path images = directory.Path() / "flash.img";
  const fs::path link = directory.Path() / "ttyUSB4";
  const fs::path output = directory.Path() / "out.txt";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    execl(QUENLITH_SIMHUB_PROGRAM, QUENLITH_SIMHUB_PROGRAM, "--tty-dir", directory.Path().c_str(), "--com", "4",
          "--identity", "BSmain demo", "--format", "quat", "--sensors", "2", "--images", images.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = Clock::now() + kLimit;
  while (!fs::is_symlink(link) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(fs::is_symlink(link));
  Bytes image(512);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i);
  {
    Client client(link);
    EXPECT_EQ(client.Ask(0x0100), Frame(0x0110, Text("BSmain demo")));
    const auto state = client.Ask(0x0300);
    ASSERT_TRUE(state);
    EXPECT_EQ(ReadWord(FrameData(*state), 4), 4321);
    client.Write(Frame(0x0600, image));
    ASSERT_EQ(client.Ask(0x0500), Frame(0x0510, image));
  }
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

  std::ifstream printed(output);
  std::string line;
  std::getline(printed, line);
  EXPECT_NE(line.find(link.string()), std::string::npos) << line;

  SimulatedHub reloaded(HubOptions{});
  reloaded.LoadImages(images);
  EXPECT_EQ(reloaded.Flash(0), image);
  EXPECT_EQ(reloaded.Flash(1), Bytes(512, 0xFF));
}

}  // namespace
}  // namespace SimHub
