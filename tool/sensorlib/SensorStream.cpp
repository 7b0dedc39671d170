#include "SensorStream.h"

#include <chrono>
#include <iostream>
#include <regex>
#include <thread>

#include "StoredFrames.h"

namespace Lumeth::Core::SensorLibrary {

namespace {

const std::regex& mcuPattern() {
  static const std::regex pattern("mCU.*");
  return pattern;
}

const std::regex& generationPattern() {
  static const std::regex pattern("DKv\\d");
  return pattern;
}

constexpr int kFirstStreamingGeneration = 5;

}  // namespace

SensorStream::SensorStream() = default;

SensorStream::~SensorStream() = default;

void SensorStream::start(const std::string& portName, bool oemDevice) {
  oemDevice_ = oemDevice;
  processor_.identityCallback = [this](const std::string& identity) { classifyIdentity(identity); };
  processor_.flashBlockCallback = [this](const std::string& block) {
    boost::mutex::scoped_lock lock(mutex_);
    flashBlock_ = block;
  };
  processor_.sensorDataCallback = [this](const QuenlithSensorData& data) { queueData(data); };
  processor_.statusCallback = [this](const QuenlithSensorStatus& status) {
    if (statusCallback) statusCallback(status);
  };
  processor_.start(portName);

  // The answers wait in the port until the worker polls.
  if (oemDevice_) {
    send(Frames::kStreamOff, 20);
    send(Frames::kOemConfiguration, 5);
    send(Frames::kIdentify, 5);
    send(Frames::kRequest0800, 5);
  } else {
    send(Frames::kStreamOff, 20);
    send(Frames::kDataMode, 5);
    send(Frames::kDataPeriod, 5);
  }
  send(Frames::kIdentify, 5);
  if (oemDevice_) send(Frames::kRequest0800, 5);
  send(Frames::kReadFlash, 5);
}

void SensorStream::send(const StoredFrame& frame, int pauseMilliseconds) {
  processor_.sendCommand(frame.text());
  std::this_thread::sleep_for(std::chrono::milliseconds(pauseMilliseconds));
}

IdentityClass classifyIdentity(const std::string& text) {
  std::smatch match;
  if (std::regex_search(text, mcuPattern())) return {IdentityClass::kMcu, -1};
  if (std::regex_search(text, match, generationPattern())) return {IdentityClass::kSensor, match.str(0).back() - '0'};
  return {};
}

void SensorStream::classifyIdentity(const std::string& identity) {
  const IdentityClass found = Lumeth::Core::SensorLibrary::classifyIdentity(identity);
  if (found.kind == IdentityClass::kNone) return;
  boost::mutex::scoped_lock lock(mutex_);
  if (found.kind == IdentityClass::kMcu) {
    mcuIdentity_ = identity;
  } else {
    firmware_ = identity;
    generation_ = found.generation;
  }
}

void SensorStream::queueData(const QuenlithSensorData& data) {
  boost::mutex::scoped_lock lock(mutex_);
  queue_.push_back(data);
  if (queue_.size() > kQueueLimit) queue_.pop_front();
}

void SensorStream::poll() {
  processor_.advance();

  bool ready = false;
  {
    boost::mutex::scoped_lock lock(mutex_);
    ready = !firmware_.empty() && !flashBlock_.empty() && (!oemDevice_ || mcuIdentity_);
  }
  QuenlithSensorInformation information;
  int generation = -1;
  if (ready && !informationSent_) {
    boost::mutex::scoped_lock lock(mutex_);
    FlashLayout layout;
    selectFlashLayout(firmware_, layout);
    if (flashBlock_.size() < static_cast<std::size_t>(layout.size)) {
      // A cut-short block would be decoded past its end: wait for a whole one.
      std::cout << "WARNING: ignoring a flash block of " << flashBlock_.size() << " bytes, shorter than the "
                << layout.size << " bytes of its memory layout" << std::endl;
      flashBlock_.clear();
      ready = false;
    } else {
      decodeFlashFields(flashBlock_, layout, fields_);
    }
    information.mcuIdentity = mcuIdentity_;
    information.firmware = firmware_;
    information.fields = fields_;
    generation = generation_;
  }
  if (ready && !informationSent_) {
    if (generation >= kFirstStreamingGeneration) {
      send(Frames::kStreamOn, 5);
    } else {
      std::cout << "data streaming is not supported for this device" << std::endl;
    }
    if (informationCallback) {
      try {
        informationCallback(information);
      } catch (const std::exception& error) {
        std::cout << "ERROR: " << error.what() << std::endl;
      }
    }
  }
  informationSent_ = ready;
}

QuenlithSensorData SensorStream::nextData() {
  boost::mutex::scoped_lock lock(mutex_);
  if (!queue_.empty()) {
    lastData_ = std::move(queue_.front());
    queue_.pop_front();
  }
  return lastData_;
}

void SensorStream::stop() {
  processor_.closeConnection();
  boost::mutex::scoped_lock lock(mutex_);
  mcuIdentity_.reset();
  firmware_.clear();
  flashBlock_.clear();
  generation_ = -1;
  // A restart must never hand out records of the previous conversation.
  queue_.clear();
  lastData_ = QuenlithSensorData{};
  informationSent_ = false;
}

}  // namespace Lumeth::Core::SensorLibrary
