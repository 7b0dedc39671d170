#include "processing/manager/dc/Dc.h"

#include <array>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "common/LittleEndian.h"
#include "common/Log.h"
#include "communication/qn/Hub.h"

namespace Processing::Manager::QN::Dc {

namespace {

using Processing::QN::CDKv;
using Communication::Device::QN::Bytes;

template <class Compensation>
std::unique_ptr<CCompensation> Make() {
  return std::make_unique<Compensation>();
}

constexpr std::size_t kWordBytes = 4;
constexpr std::size_t kAddressOffset = 4;  // of the frames' address in the "add" block
constexpr std::size_t kMaxInputWords = 3;

std::uint32_t Word(const void* block, std::size_t index) {
  return LittleEndian::U32(static_cast<const std::uint8_t*>(block) + kWordBytes * index);
}

void PutWord(void* block, std::uint32_t value) {
  LittleEndian::PutU32(static_cast<std::uint8_t*>(block), value);
}

std::uint32_t Bit(const CDKv& model) { return std::uint32_t{1} << (static_cast<unsigned>(model.Position()) % 32u); }

void LogFailure(const CDKv& model, const std::exception& e) {
  QLOG(error) << "<dc> sensor " << model.Position() << ": " << e.what();
}

bool Store(CDKv& model, Bytes& image, const std::uint32_t* words) { return model.StoreCalibration(image, words[1]); }

bool Restore(CDKv& model, Bytes& image, const std::uint32_t* words) {
  return model.RestoreCalibration(image, words[1], words[2]);
}

}  // namespace

CDc::CDc(std::shared_ptr<Communication::Device::CHub> hub, const Chain* chain)
    : Manager::CManager(std::move(hub)),
      factories_{{"mag", &Make<CMagCompensation>},         {"acc", &Make<CAccCompensation>},
                 {"planes", &Make<CPlanesCompensation>},   {"npoints", &Make<CNPointsCompensation>},
                 {"gyr", &Make<CGyrCompensation>},         {"mag2d", &Make<CMag2DCompensation>}},
      chain_(chain) {}

bool CDc::ExecuteCommand(const std::string& command, void* input, void* output) {
  if (command == "clear") {
    batches_.clear();
    return true;
  }
  if (command == "add") return Add(input);
  if (command.find("calculate") != std::string::npos) return Calculate(command, input, output);
  if (command == "update") return Rewrite(input, output, 2, &Store);
  if (command.find("restore") != std::string::npos) return Rewrite(input, output, 3, &Restore);
  return true;
}

bool CDc::Add(const void* input) {
  if (!input) {
    QLOG(error) << "<dc> add without an input block";
    return false;
  }
  const std::uint32_t count = Word(input, 0);
  std::uint64_t address = 0;
  std::memcpy(&address, static_cast<const std::uint8_t*>(input) + kAddressOffset, sizeof address);
  // The host's frames need not be aligned for their doubles: copied as bytes.
  const auto* frames = reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(address));
  if (count > 0 && !frames) {
    QLOG(error) << "<dc> add of " << count << " frames from a null address";
    return false;
  }
  try {
    // Copied: the host may reuse its buffer after the call.
    Batch batch(count);
    if (count > 0) std::memcpy(batch.data(), frames, batch.size() * sizeof(SdkFrame));
    batches_.push_back(std::move(batch));
  } catch (const std::exception&) {  // std::bad_alloc or std::length_error
    QLOG(error) << "<dc> add of " << count << " frames: no memory for them";
    return false;
  }
  return true;
}

bool CDc::Calculate(const std::string& command, const void* input, void* output) {
  // The name follows "calculate "; "calculate" alone names none.
  constexpr std::size_t kNameOffset = 10;
  const std::string name = command.size() > kNameOffset ? command.substr(kNameOffset) : std::string();
  const auto factory = factories_.find(name);
  if (factory == factories_.end()) {
    QLOG(error) << "<dc> unknown compensation \"" << name << "\"";
    return false;
  }
  if (!input || !output) {
    QLOG(error) << "<dc> calculate without its input or output block";
    return false;
  }
  const std::uint32_t mask = Word(input, 0);
  std::uint32_t succeeded = 0;
  const auto compensation = factory->second();
  for (const auto& stage : *chain_) {
    auto* model = dynamic_cast<CDKv*>(stage.get());
    if (!model || !(mask & Bit(*model))) continue;
    try {
      compensation->Calculate(batches_, *model);
      succeeded |= Bit(*model);
    } catch (const std::exception& e) {
      LogFailure(*model, e);
    }
  }
  PutWord(output, succeeded);
  return true;
}

bool CDc::Rewrite(const void* input, void* output, std::size_t inputWords,
                  bool (*change)(CDKv& model, Bytes& image, const std::uint32_t* words)) {
  const auto hub = std::dynamic_pointer_cast<Communication::Device::QN::CHub>(GetDevice());
  if (!hub) {
    QLOG(error) << "<dc> no hub of the maker's protocol to write to";
    return false;
  }
  if (!input || !output) {
    QLOG(error) << "<dc> update or restore without its input or output block";
    return false;
  }
  std::array<std::uint32_t, kMaxInputWords> words{};
  for (std::size_t i = 0; i < inputWords; ++i) words[i] = Word(input, i);

  std::uint32_t succeeded = 0;
  for (const auto& stage : *chain_) {
    auto* model = dynamic_cast<CDKv*>(stage.get());
    if (!model) continue;
    const auto sensor = std::dynamic_pointer_cast<Communication::Device::QN::CSensor>(model->GetDevice());
    if (!sensor) continue;
    Bytes image = sensor->GetFlash();
    if (image.empty() || !(words[0] & Bit(*model))) continue;
    try {
      if (!change(*model, image, words.data())) {
        QLOG(error) << "<dc> sensor " << model->Position() << ": its model keeps no calibration in flash";
        continue;
      }
      if (!hub->SetSensorFlash(model->Position() + 1, image)) continue;
      model->LoadCalibration(image);
      succeeded |= Bit(*model);
    } catch (const std::exception& e) {
      LogFailure(*model, e);
    }
  }
  PutWord(output, succeeded);
  return true;
}

}  // namespace Processing::Manager::QN::Dc
