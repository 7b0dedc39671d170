#pragma once

// A stand-in for one of the maker's sensor hubs, served on a pseudo-terminal.
//
// The hub's protocol code here is written independently of the SDK's, so that
// end-to-end tests check the SDK against the wire format rather than against
// itself. The hub behaves like hardware and does no more: it answers the
// requests a hub answers, streams data frames while auto-transmit is on and
// keeps per-sensor flash images. Anything a real peer does not promise (a
// write acknowledgement, noticing a closed port, the hub's report of a silent
// slot) happens only when a test names it in HubOptions, and misbehaviour on
// the wire only when a test injects it (see Fault).
//
// Wire format (all words little-endian):
//   [0] ~address  [1] address  [2..3] total length L  [4..5] command word
//   [6..L-3] data  [L-2..L-1] sum modulo 2^16 of the words before it.
//
// Replies carry the request's command byte with sub-code 0x10 (identify
// 0x0100 is answered by 0x0110, get state by 0x0310, read flash by 0x0510),
// always from the hub's address (0xAA 0x55).
//
// BSmain hub state (reply data to 0x0300), eight 16-bit words:
//   0 auto-transmit (0xFFFF on, 0 off)   1 power (0xFFFF on, 0 off)
//   2 data format code                   3 number of present sensors
//   4..5 mask of present sensors (32 bits)
//   6 data period in microseconds minus 1 (at most 65535)
//   7 frame counter of the next data frame
// so the format code is the word at state offset 4. Other BSmain requests:
// 0x0400 auto-transmit (low data byte 0xFF on, else off), 0x0401 power,
// 0x0402 data format (1000 raw or 4321 quat; other codes are ignored),
// 0x0800 wake (ignored), 0xFFFF reset (streaming and power off, the
// configured format again, frame counter 0). None of these is answered.
//
// BSmain data frame while auto-transmit is on (command word 0x0210 + data
// type: 0x0210 raw, 0x0211 quat):
//   [4] command word  [6] frame counter (+1 per frame, from 0)
//   [8] raw hub word (the frame counter times 3, modulo 2^16)
//   [10] 32-bit mask of present sensors (bit N = position N)
//   [14] 20 sensor blocks of the format's block size (20 bytes raw, 10 quat)
//   then the checksum.
// Synthetic block contents, unless a DataFrameHook replaces them: the block
// of a present sensor at position p holds the 16-bit words
//   SyntheticWord(counter, p, k) = counter * 0x200 + p * 0x10 + k (mod 2^16)
// for k = 0 .. blockSize/2 - 1; blocks of absent positions are zero.
//
// Flash requests (0x0500 read, 0x0600 write) reach sensor 0 when addressed to
// the hub (0x55); a write replaces the image with exactly the bytes received
// and is not answered (with HubOptions::acknowledgesWrites: 0x0610 with one
// word 0). An image of odd size is read back with a zero byte after it, since
// payloads are whole words.
//
// USB CU hub ("usbcu"): sensor N sits in slot N on the hub's bus. A sensor's
// bus address is the low byte of the word at offset 6 of its flash image
// (N + 1 while the image is shorter than 8 bytes), so a flash write may move
// it; a sensor whose identity begins with "ExtV" is an internal slot instead,
// and one with an empty identity keeps its slot but answers nothing.
// Frames to a sensor carry the header [~address][address]; a request to an
// address that no sensor answers gets no reply (with
// HubOptions::directAccessTimeout: 0x0810, direct access timeout). Hub state
// (280 bytes): word 0 the switch word, word 1 the active slot count, words 2
// and 3 zero, then from offset 8 the slot table: entries (period big-endian,
// address pair, format code, 0, block size) up to the first zero period.
// 0x0404 stores the entries sent as they are, up to the hub's number of slots
// (one per sensor) and the entry that ends them; a table with more entries is
// cut after the last slot the hub has. The address pairs in the table are
// reported, not used: a request reaches the sensor whose own address it names. 0x0400 carries one
// word: low byte 0xFF auto-transmit, high byte 0xFF power. Hub flash: 64
// bytes 0xC0 + i. Data frame 0x0220: [6] counter [8] 32-bit slot mask with
// slot i at bit (active slots - 1 - i) [12] raw hub word [14] the active
// slots' blocks in slot order.
//
// USB dongle ("dongle"): one sensor, requests to the hub address. Identify
// answers the sensor's identity (unless an identity is given); state is
// [auto-transmit][format code][period][power] words unless the sensor has its
// own. 0x0401 data 1000 + type sets the format, 0x0402 the period (us) and
// with it the frame rate; 0x0200 + type polls one data frame. Data frame
// 0x0210 + type: [6] counter [8] the sensor's block.
//
// Stream hub ("stream") and QNSDK hub ("sdk") stream while the line is open,
// unasked, and answer nothing. Stream data frame 0x0214: [6] counter [8] one
// 30-byte block (15 words). QNSDK frame: 55 55 55 55, a 32-bit mask of one bit per
// sensor, the 32-bit header word (the counter), one 104-byte record of 26
// floats SdkRecordValue(counter, r, k) per sensor, footer AA AA AA AA.
//
// The line: a client may close and reopen the pty's end any number of times.
// What the client had not read when it closed is lost, as in an adapter. A
// hub cannot see the port close, so it streams on, and a client that opens
// the line while it streams meets the second half of a frame first (with
// HubOptions::stopsStreamingOnClose the hub stops streaming instead).
// Unknown requests get no reply.
//
// On a network line (AttachNetwork) the hub listens on 127.0.0.1 instead: over
// TCP a client's connection is the open line, its close ends the session as a
// closed pty does, and the next connection is accepted; over UDP the sender
// of the last datagram is the client and every frame is one datagram (never
// cut when a client joins a stream).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lines/NetLine.h"

namespace SimHub {

using Bytes = std::vector<std::uint8_t>;

// A new kind of hub is one personality class plus one row in the kind table
// (Personalities.cpp).
enum class HubKind { BsMain, UsbCu, Dongle, Stream, QnSdk, StreamSensor };

// The network lines a hub can serve instead of a pty.
using SimLine::Protocol;

// Misbehaviour applied to the next frames the hub sends.
enum class Fault {
  None,
  CorruptChecksum,       // the checksum's low byte is flipped
  TruncatedFrame,        // only the first half of the frame is sent
  GarbageBetweenFrames,  // GarbageBytes() go out before the frame
  WrongLength,           // the length field says 2 bytes more than sent
  OddLength,             // a zero byte before the checksum: odd length L,
                         // checksum over the L - 3 bytes before it
  StopAnswering,         // streaming stops at once and the next `count`
                         // requests get no reply and change nothing
  DropLine,              // half the frame, then the line drops: the pty is
                         // closed and a fresh one takes its place (replug)
  // Faults of the next `count` flash requests rather than of frames:
  WriteRefused,          // a flash write changes nothing (if writes are
                         // acknowledged: with the status word 1 instead of 0)
  GarbageAfterWrite,     // a flash write is stored, then GarbageBytes() go out
  DropLineAfterWrite,    // a flash write is stored, then the line drops
  ShortFlashRead,        // a flash read answers without the image's last word
  LongFlashRead,         // a flash read answers with a zero word after the image
};

struct SimSensor {
  std::string identity;
  Bytes flash;  // the sensor's flash image, as read and written over the wire
  Bytes state;
};

// The parts of one data frame a test may rewrite before it is sent.
struct DataFrameContent {
  std::uint16_t counter = 0;
  std::uint16_t hubWord = 0;
  std::uint32_t mask = 0;
  Bytes blocks;  // all sensor blocks, from frame offset 14
};
using DataFrameHook = std::function<void(DataFrameContent&)>;

struct HubOptions {
  HubKind kind = HubKind::BsMain;
  std::string identity;             // identify reply text; empty: the kind's default
  std::uint16_t formatCode = 1000;  // data format code the hub reports (state offset 4)
  double frameRateHz = 100;         // data frames per second (Hz) while auto-transmit is on
  std::vector<SimSensor> sensors;   // sensor N is at position N; present bits follow
  bool echoRequests = false;        // a half-duplex adapter: every request comes back first
  // The line's pace in baud, ten bits a byte each way: a frame is taken or
  // delivered only once the line has carried its last byte. 0: as fast as the pty.
  long long baudRate = 0;
  // Called on the synthetic content of every data frame, on the hub's serving
  // thread under its lock: it must not call back into the hub.
  DataFrameHook dataFrameHook;

  // What no real peer promises, for the tests that rely on it:
  bool acknowledgesWrites = false;     // a flash write is answered by 0x0610 with a status word
  bool stopsStreamingOnClose = false;  // the hub sees the line close and stops streaming
  bool directAccessTimeout = false;    // a USB CU hub reports a bus address nobody answers by 0x0810
};

// Default identity texts.
std::string DefaultIdentity(HubKind kind);
// Parses "bsmain" etc.; throws std::invalid_argument for an unknown name.
HubKind KindByName(const std::string& name);
// Parses a fault name ("corrupt-checksum", ...); throws std::invalid_argument.
Fault FaultByName(const std::string& name);

class SimulatedHub {
 public:
  explicit SimulatedHub(HubOptions options);
  ~SimulatedHub();  // stops; removes the link it made

  SimulatedHub(const SimulatedHub&) = delete;
  SimulatedHub& operator=(const SimulatedHub&) = delete;

  // Makes <ttyDirectory>/ttyUSB<comNumber> a symlink to a new pty and serves it.
  void AttachPty(const std::filesystem::path& ttyDirectory, int comNumber);
  std::filesystem::path LinkPath() const;
  // Serves on 127.0.0.1:port instead (port 0: a free one); returns the port.
  // A network line is not paced (HubOptions::baudRate).
  std::uint16_t AttachNetwork(Protocol protocol, std::uint16_t port = 0);
  std::uint16_t Port() const;
  void Stop();  // safe twice

  void InjectFault(Fault fault, int count = 1);  // applies to the next `count` frames sent
  bool Streaming() const;                        // auto-transmit on
  std::uint16_t FormatCode() const;
  std::uint64_t DataFramesSent() const;
  std::uint64_t BytesSent() const;  // every byte put on the line, replies and data frames
  std::vector<Bytes> RequestsReceived() const;  // every well-formed frame received, whole
  // Whether `count` requests with this command word have been received (so far, or within the limit).
  bool WaitForRequest(std::uint16_t commandWord, std::chrono::milliseconds limit, std::size_t count = 1) const;
  // Waits until at least `frames` data frames have been sent in all.
  bool WaitForDataFrames(std::uint64_t frames, std::chrono::milliseconds limit) const;

  Bytes Flash(std::size_t sensor) const;
  void SetFlash(std::size_t sensor, Bytes image);
  // Image file: see FlashStore.h (magic line, then per sensor a size line and the bytes).
  void LoadImages(const std::filesystem::path& file);
  void SaveImages(const std::filesystem::path& file) const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// The float at index k (0 to 25) of record r of a QNSDK frame with this counter.
float SdkRecordValue(std::uint16_t counter, int record, int index);

// Pure helpers of the simulator's own codec, for its own tests.
Bytes Frame(std::uint16_t commandWord, const Bytes& data, std::uint8_t address = 0x55);
std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t count);  // word sum of count bytes (even)
std::uint16_t SyntheticWord(std::uint16_t counter, int position, int wordIndex);
const Bytes& GarbageBytes();

}  // namespace SimHub
