#pragma once

#include <cstdint>
#include <memory>

#include "simhub/Personality.h"

namespace SimHub {

// One sensor on a USB serial adapter, without a hub in between, as a client
// that streams from it directly sees it:
//   0x0100 identify: 0x0110 with the identity (HubOptions::identity). Behind an
//          OEM adapter, once the adapter got its 0x0404 configuration, the
//          adapter's MCU answers first with 0x0110 "mCU ..." (kOemMcuIdentity).
//   0x0300 status: 0x0310, words {streaming 0xFFFF/0, 0, period word, 0,
//          data mode, 0, 0}.
//   0x0400 stream on (0xFFFF) / off (0x0000); 0x0401 data mode (1000 to 1004);
//   0x0402 period word; 0x0404 OEM configuration; 0x0500 read flash: 0x0510
//          with sensor 0's image; 0x0600 write flash: stored in sensor 0 as
//          the dongle stores it (the same handler); 0x0800 ignored.
// While streaming, at HubOptions::frameRateHz: 0x0213 measurement frames of 15
// words, and after every tenth one a 0x0310 status frame. Measurement words:
//   0 counter (+1 per frame, from 0)  1..4 quaternion w, x, y, z = 0x4000, 0, 0, 0
//   5..13 vectors and gyro: SyntheticWord(counter, 0, k) for k = 0..8
//   14 temperature word 0
// A DataFrameHook sees the counter in `counter` and words 1..14 in `blocks`.
class StreamSensor : public Personality {
 public:
  static constexpr const char* kOemMcuIdentity = "mCU simulated OEM adapter V1.04";

  const std::vector<CommandRow>& Commands() const override;
  Bytes DataFrame(HubState& state) override;

 private:
  static void Identify(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void Status(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void DataMode(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void Period(Personality& kind, HubState& state, const Request& request, Replies& replies);
  static void OemConfiguration(Personality& kind, HubState& state, const Request& request, Replies& replies);
  Bytes StatusData(const HubState& state) const;

  // The sensor's own settings, changed by requests on the hub's serving thread.
  bool oemConfigured_ = false;
  std::uint16_t period_ = 16665;  // status word 2: 1e6 / (period + 1) Hz
};

std::unique_ptr<Personality> MakeStreamSensor();

}  // namespace SimHub
