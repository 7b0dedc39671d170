// Feeds arbitrary bytes to the tool's stream processor twice: as a serial
// byte stream through a pseudo-terminal, which the state machine frames and
// checks, and as one message handed straight to the decoders, which random
// bytes could hardly reach with a valid checksum. Every flash block that comes
// out is decoded with each layout it is long enough for, as the sensor stream
// does. Nothing may crash, hang or read outside what arrived.
#include <stdlib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "FlashLayout.h"
#include "PtyPeer.h"
#include "StreamMessage.h"
#include "StreamProcessor.h"
#include "SynchronousSerialConnection.h"

namespace {

using namespace Lumeth::Core::SensorLibrary;

constexpr int kComNumber = 3;
constexpr std::size_t kWriteChunk = 256;  // well inside the pseudo-terminal's buffer

void require(bool condition) {
  if (!condition) std::abort();
}

// A raw pseudo-terminal that the processor opens as COM port 3, in a scratch
// directory of its own.
struct Line {
  std::filesystem::path scratch;
  std::unique_ptr<PtyPeer> peer;

  Line() {
    char pattern[] = "/tmp/sensor_stream_fuzzer_XXXXXX";
    const char* directory = mkdtemp(pattern);
    require(directory != nullptr);
    scratch = directory;
    peer = std::make_unique<PtyPeer>(scratch, kComNumber);
    setenv("QUENLITH_TTY_DIR", directory, 1);
  }
  ~Line() {
    peer.reset();
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
  }

  void write(const std::uint8_t* bytes, std::size_t size) {
    peer->Write(std::string(reinterpret_cast<const char*>(bytes), size));
  }
  std::size_t waiting() const { return peer->Waiting(); }
  // The processor's commands are never read: keep the other direction empty.
  void discardOutput() { peer->Drain(); }
};

Line& line() {
  static Line theLine;
  return theLine;
}

void decodeBlock(const std::string& block) {
  for (const auto& layout : kFlashLayouts) {
    if (block.size() < static_cast<std::size_t>(layout.size)) continue;
    FlashFields fields;
    decodeFlashFields(block, layout, fields);
    require(fields.type == layout.key);
  }
}

void observe(StreamProcessor& processor) {
  processor.flashBlockCallback = [](const std::string& block) { decodeBlock(block); };
  processor.identityCallback = [](const std::string& text) { require(text.find('\0') == std::string::npos); };
  processor.deviceErrorCallback = [](const std::string& text) { require(text.size() == 4); };
  processor.quaternionCallback = [](const Eigen::Quaterniond& q) {
    const double norm = q.coeffs().norm();
    require(norm == 0.0 || (norm > 0.999999 && norm < 1.000001));
  };
  processor.statusCallback = [](const QuenlithSensorStatus& status) { require(status.rate > 0.0); };
  processor.sensorDataCallback = [](const QuenlithSensorData& data) {
    require(!data.deviceError || data.deviceError->size() == 4);
  };
}

bool reading(const StreamProcessor& processor) {
  const int state = processor.currentState();
  return state == StreamProcessor::kReadSerialData || state == StreamProcessor::kReadMoreSerialData;
}

// Advances until the written bytes are in and parsed as far as they go: a
// reading state that reads again without leaving found nothing more.
void drain(StreamProcessor& processor) {
  for (int steps = 0; steps < 1000000; ++steps) {
    const bool before = reading(processor) && line().waiting() == 0 &&
                        SynchronousSerialConnection::instance()->accumulatedSize() == 0;
    processor.advance();
    if (before && reading(processor)) return;
  }
  std::abort();  // the machine went round without end
}

void feedStream(const std::uint8_t* data, std::size_t size) {
  StreamProcessor processor;
  observe(processor);
  // Starting reads once with the full deadline: an empty frame of no known
  // type is there for it to take at once.
  static constexpr std::uint8_t kIgnored[] = {0xAA, 0x55, 0x08, 0x00, 0x00, 0x00, 0xB2, 0x55};
  line().write(kIgnored, sizeof kIgnored);
  processor.start("\\\\.\\COM" + std::to_string(kComNumber));
  // Reads that find nothing end quickly, so that the machine's idle loop costs little.
  SynchronousSerialConnection::instance()->setReadDeadline(std::chrono::milliseconds(1));
  for (std::size_t offset = 0; offset < size; offset += kWriteChunk) {
    const std::size_t chunk = std::min(kWriteChunk, size - offset);
    line().write(data + offset, chunk);
    drain(processor);
  }
  drain(processor);
  processor.closeConnection();
  line().discardOutput();
}

// The input as one checked message: type, then payload words.
void feedMessage(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  StreamMessage message;
  message.type = static_cast<std::uint16_t>(data[0] | data[1] << 8);
  for (std::size_t offset = 2; offset + 1 < size; offset += 2)
    message.payload.push_back(static_cast<std::uint16_t>(data[offset] | data[offset + 1] << 8));
  const std::size_t length = kMinimumFrameLength + 2 * message.payload.size();
  message.header = kSyncWord | static_cast<std::uint32_t>(length & 0xFFFF) << 16;
  StreamProcessor processor;
  observe(processor);
  try {
    processor.handleMessage(message);
  } catch (const std::runtime_error& error) {
    // Only a size rule may refuse a message.
    require(std::string(error.what()).rfind("the size of the ", 0) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The library's diagnostics go to standard output; keep the fuzzer's log readable.
  require(std::freopen("/dev/null", "w", stdout) != nullptr);
  line();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  feedMessage(data, size);
  feedStream(data, size);
  return 0;
}
