#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "communication/qn/BsMain.h"
#include "communication/qn/SlotEntry.h"

namespace Communication::Device::QN {

// The USB CU hub: up to 32 slots on a bus of its own, each a sensor addressed
// by its own frame header or an internal sensor of the hub. The slot table
// lives in the hub state from offset 8, entries (SlotEntry.h) ended by a zero
// period. Sensors' flash images are read and written by bus address, which the
// hub matches against identifier words in each sensor's cached image.
class CCu : public CBsMain {
 public:
  static constexpr int kMaxSlots = 32;
  static constexpr std::size_t kSlotTableOffset = 8;
  static constexpr std::size_t kSlotEntrySize = SlotEntry::kSize;
  // The image words that may hold a sensor's bus address.
  static constexpr std::size_t kAddressWordOffset = 6;   // unsigned 16 bits
  static constexpr std::size_t kAddressLongOffset = 8;   // signed 32 bits
  // How long the hub takes to take a new slot table, and a sensor to store a
  // new flash image, before either can be asked again.
  static constexpr std::chrono::milliseconds kSlotTableSettle{100};
  static constexpr std::chrono::milliseconds kFlashWriteSettle{3000};
  static constexpr std::chrono::milliseconds kFlashReadFailurePause{500};

  explicit CCu(std::shared_ptr<DataInterface::CDataInterface> transport = {}, std::string id = "USB_CU");
  ~CCu() override;

  void SetAutoTx(bool on) override;
  void SetPower(bool on) override;
  void OnFrame(HubFrame& frame) override;
  // Sends the slot table (from "cuconfig", or shaped by the "device" data
  // type and the frequency), checks that the hub took it, finds the sensors.
  bool Configure(const boost::property_tree::ptree& parameters) override;
  // Identity and state as BSmain's, then the hub's own flash image.
  bool GetHubId() override;
  void FindSensors() override;

  bool SetSensorFlash(int busAddress, const Bytes& image) override;

  virtual const Bytes& GetHubFlash() const { return hubFlash_; }
  int GetSlotCount() const { return slotCount_; }

  // Number of slot entries in a hub state: entries from offset 8 up to the
  // first zero period, at most 32, never past the state's end.
  static int CountSlots(const Bytes& state);
  // Each slot's share of the period (us); the last takes the remainder. Shares
  // stay between 1 (a 0 would end the table) and 0xFFFE.
  static std::uint16_t PeriodShare(int period, int slot, int slotCount);
  // Whether a cached flash image names this bus address.
  static bool AnswersBusAddress(const Bytes& image, int busAddress);
  // The slot mask as the hub sends it (slot i at bit count - 1 - i) turned
  // into positions (slot i at bit i).
  static std::uint32_t PositionMask(std::uint32_t slotMask, int slotCount);

 private:
  // Builds the slot table into a copy of the hub state; false for a
  // "cuconfig" text that is no table.
  bool ShapeSlotTable(const std::string& cuConfig, Bytes& table);
  // The first sensor whose image names the bus address; null (logged) for none.
  std::shared_ptr<CSensor> SensorAt(int busAddress) override;

  int slotCount_ = 0;
  Bytes hubFlash_;
  std::uint16_t switchWord_ = 0;  // low byte auto-transmit, high byte power
  std::string cuConfig_;
};

}  // namespace Communication::Device::QN
