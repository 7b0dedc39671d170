// A field compensation from "dc calculate" to the sensor's flash and back: the
// next frame after the calculation already reads the true values, the frame
// after "dc update" and its reload reads them again, and an update with
// nothing calculated leaves every byte of the image as it was.

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ModelImages.h"
#include "ModelImages16.h"
#include "ModelSensor.h"
#include "SyntheticMotion.h"
#include "WritingHub.h"
#include "processing/SdkFrame.h"
#include "processing/manager/dc/Dc.h"

namespace {

using Communication::Device::QN::Bytes;
using Eigen::Matrix3d;
using Eigen::Vector3d;
using Processing::SdkFrame;
using Processing::SensorRecord;
using Processing::Manager::QN::Chain;
using Processing::Manager::QN::Dc::CDc;
using Processing::QN::CDKv;

enum Quantity : std::size_t { kAcc = 0, kGyr = 1, kMag = 2 };
constexpr const char* kFitName[] = {"acc", "gyr", "mag"};
constexpr std::uint32_t kStoreFlag[] = {1, 2, 4};

// How a generation turns a data word into output units, from its calibration
// formulas with unit factory calibration: word x raw scale x unit factor.
struct Units {
  double rawScale;
  std::array<double, 3> factors;
};
constexpr Units kUnits32{1.0 / 2048, {-1.0, 2.0, 1.0}};
constexpr Units kUnits16{1.0 / 32768, {2.0, 1000.0, -2.0}};

// The sensor's error in output units (what the fit must find) and, for the
// field, the matrix that takes the distorted field back to the unit sphere.
const Vector3d kError{0.0625, -0.125, 0.03125};
const Matrix3d kFieldMatrix = Vector3d(2.0, 1.25, 1.6).asDiagonal();

// Live words: three triples and a temperature that no image here corrects for.
const std::vector<std::int16_t> kWords{700, -300, 500, 40, -25, 60, 900, -450, 300, 1000};

Vector3d Uncompensated(const Units& units, std::size_t triple) {
  return units.factors[triple] * units.rawScale *
         Vector3d(kWords[3 * triple], kWords[3 * triple + 1], kWords[3 * triple + 2]);
}

// The true value behind a triple's reading: the reading less the error, and
// for the field also undistorted.
Vector3d TrueValue(const Units& units, std::size_t triple, Quantity calibrated) {
  const Vector3d reading = Uncompensated(units, triple);
  if (triple != calibrated) return reading;
  return triple == kMag ? Vector3d(kFieldMatrix * (reading - kError)) : Vector3d(reading - kError);
}

// Output frames a host records for one fit: the sensor turned through every
// direction (acceleration, field) or at rest (angular rate).
std::vector<SdkFrame> Recording(Quantity quantity) {
  using SyntheticMotion::OnEllipsoid;
  Processing::Compensation::Samples samples;
  if (quantity == kAcc) samples = OnEllipsoid(Matrix3d::Identity(), -kError, 80);
  if (quantity == kMag) samples = OnEllipsoid(kFieldMatrix, -kError, 120);
  if (quantity == kGyr) {
    samples.resize(40, 3);
    for (Eigen::Index i = 0; i < samples.rows(); ++i)
      samples.row(i) = (kError + Vector3d::Constant(i % 2 == 0 ? 0.01 : -0.01)).transpose();
  }
  std::vector<SdkFrame> frames(static_cast<std::size_t>(samples.rows()));
  for (std::size_t i = 0; i < frames.size(); ++i)
    for (int c = 0; c < 3; ++c)
      (frames[i].sensors[0].*Processing::QN::kTriples[quantity])[c] = samples(static_cast<Eigen::Index>(i), c);
  return frames;
}

// One sensor model at position 0 behind a hub that takes every flash write,
// with the collector over it; loaded from the image as an open loads it.
struct Sensor {
  Sensor(const Generation& generation, const Bytes& image)
      : model(generation.make(RawSensor(generation.name, 0, image), nullptr)) {
    hub->Add(std::static_pointer_cast<Communication::Device::QN::CSensor>(model->GetDevice()));
    model->Configure({}, nullptr);
  }

  std::uint32_t Command(const std::string& text, std::array<std::uint32_t, 3> input) {
    std::uint32_t output = 0xA5A5A5A5;
    EXPECT_TRUE(dc.ExecuteCommand(text, input.data(), &output)) << text;
    return output;
  }

  void Record(const std::vector<SdkFrame>& frames) {
    std::array<std::uint8_t, 12> add{};
    const auto count = static_cast<std::uint32_t>(frames.size());
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(frames.data()));
    std::memcpy(add.data(), &count, 4);
    std::memcpy(add.data() + 4, &address, 8);
    EXPECT_TRUE(dc.ExecuteCommand("clear", nullptr, nullptr));
    EXPECT_TRUE(dc.ExecuteCommand("add", add.data(), nullptr));
  }

  SensorRecord Live() const {
    SensorRecord record{};
    const Bytes input = ModelImages::WordBytes(kWords);
    model->Process(input.data(), &record);
    return record;
  }

  std::shared_ptr<CDKv> model;
  std::shared_ptr<WritingHub> hub = std::make_shared<WritingHub>();
  Chain chain{model};
  CDc dc{hub, &chain};
  LogCapture log;
};

void ExpectTriples(const SensorRecord& record, const Units& units, Quantity calibrated, double tolerance,
                   const std::string& what) {
  for (std::size_t t = 0; t < 3; ++t) {
    const Vector3d expected = TrueValue(units, t, calibrated);
    const Vector3d seen(record.*Processing::QN::kTriples[t]);
    EXPECT_LE((seen - expected).cwiseAbs().maxCoeff(), tolerance)
        << what << ", triple " << t << ": " << seen.transpose() << " against " << expected.transpose();
  }
}

TEST(CompensationRoundTrip, TheNextFrameReadsTrueValuesAndTheStoredCompensationReadsThemAgain) {
  struct Case {
    Generation generation;
    Quantity quantity;
    bool stores;        // the generation's image keeps this part
    double tolerance;   // of a stored and reloaded value: a few of its words' steps
  };
  const Case cases[] = {
      {kDKv3, kAcc, true, 1e-4},  {kDKv3, kGyr, true, 0.07},  {kDKv3, kMag, true, 5e-4},
      {kDKv4, kAcc, true, 1e-4},  {kDKv4, kGyr, true, 0.07},  {kDKv4, kMag, true, 5e-4},
      {kDKv5, kAcc, true, 1e-7},  {kDKv5, kGyr, true, 1e-7},  {kDKv5, kMag, true, 1e-7},
      {kDKv6, kAcc, false, 0},    {kDKv6, kGyr, false, 0},    {kDKv6, kMag, true, 1e-7},
      {kDKv7, kAcc, false, 0},    {kDKv7, kGyr, false, 0},    {kDKv7, kMag, true, 1e-7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.generation.name) + " " + kFitName[c.quantity]);
    const bool sixteen = c.generation.make == kDKv3.make || c.generation.make == kDKv4.make;
    const Units& units = sixteen ? kUnits16 : kUnits32;
    Sensor sensor(c.generation,
                  sixteen ? ModelImages16::Image(ModelImages16::Unit()) : ModelImages::Image(ModelImages::Unit()));
    for (std::size_t t = 0; t < 3; ++t) {
      const Vector3d reading(sensor.Live().*Processing::QN::kTriples[t]);
      ASSERT_LE((reading - Uncompensated(units, t)).cwiseAbs().maxCoeff(), 1e-12) << "nothing corrected yet";
    }

    sensor.Record(Recording(c.quantity));
    ASSERT_EQ(sensor.Command(std::string("calculate ") + kFitName[c.quantity], {1, 0, 0}), 1u);
    ExpectTriples(sensor.Live(), units, c.quantity, 1e-9, "calculated");

    if (!c.stores) continue;
    ASSERT_EQ(sensor.Command("update", {1, kStoreFlag[c.quantity], 0}), 1u);
    ASSERT_EQ(sensor.hub->writes.size(), 1u);
    ExpectTriples(sensor.Live(), units, c.quantity, c.tolerance, "stored and reloaded");
  }
}

// Images that were field-calibrated before: their current calibration
// differs from their factory copies.
Bytes Recalibrated32(bool withAccBackup) {
  auto calibration = ModelImages::Worked();
  if (withAccBackup) calibration.factoryAccBiases = ModelImages::Words3{-1006632, 2013265, 671088};
  Bytes image = ModelImages::Image(calibration);
  TestFrames::Put32(image, 928, ModelImages::kValid);
  ModelImages::PutAll(image, 932, ModelImages::Words3{111, -222, 333});
  return image;
}

TEST(CompensationRoundTrip, AnUpdateWithNothingCalculatedLeavesEveryByte) {
  struct Case {
    Generation generation;
    Bytes image;
    std::uint32_t storable;  // an update is accepted when its flags hold one of these
    bool rawData;            // frames are calibrated from the image
  };
  const Case cases[] = {
      {kDKv3, ModelImages16::Image(ModelImages16::WorkedWithBackups()), 7, true},
      {kDKv4, ModelImages16::Image(ModelImages16::WorkedWithBackups()), 7, true},
      {kDKv5, Recalibrated32(true), 7, true},
      {kDKv6, Recalibrated32(true), 4, true},
      {kDKv7, Recalibrated32(true), 4, true},
      // Its model keeps none of the image's compensation, only what it calculates.
      {kDKv7QCT, Recalibrated32(false), 4, false},
  };
  for (const Case& c : cases) {
    for (std::uint32_t flags = 1; flags <= 7; ++flags) {
      SCOPED_TRACE(std::string(c.generation.name) + ", flags " + std::to_string(flags));
      Sensor sensor(c.generation, c.image);
      const SensorRecord before = c.rawData ? sensor.Live() : SensorRecord{};

      const bool accepted = (flags & c.storable) != 0;
      EXPECT_EQ(sensor.Command("update", {1, flags, 0}), accepted ? 1u : 0u);
      ASSERT_EQ(sensor.hub->writes.size(), accepted ? 1u : 0u);
      if (!accepted) continue;
      EXPECT_EQ(sensor.hub->writes[0].image, c.image);
      if (!c.rawData) continue;
      const SensorRecord after = sensor.Live();
      EXPECT_EQ(std::memcmp(&after, &before, sizeof(SensorRecord)), 0) << "the reload reads what the load read";
    }
  }
}

}  // namespace
