#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include <Eigen/Core>
#include <boost/property_tree/ptree.hpp>

#include "communication/qn/Sensor.h"
#include "processing/SdkFrame.h"
#include "processing/decoders/EndPoint.h"

// Sensor models: a raw-data sensor's words become calibrated values in its
// SensorRecord, then the record goes on to the model's next stage (the attitude
// correction).
//
// Conventions of every model and of whatever reads or writes its blocks:
// - Values are in the sensor's own frame, as three axes x, y, z.
// - A triple is acceleration, angular rate, magnetic field, in that order
//   (record bytes 80, 104 and 128); nine-value blocks hold them one after the
//   other: acceleration x, y, z, angular rate x, y, z, magnetic field x, y, z.
// - Units: "pre-conversion" values are a generation's raw words times its raw
//   scale, passed through factory calibration; ConvertUnits then multiplies each
//   triple by the generation's unit factor to give the record's output units.
//   The deviation-compensation blocks hold output units, whoever writes them
//   (a fit, a load) or reads them (a store): the fits see only output frames.
//   They are applied before the conversion, so each offset is divided by its
//   triple's unit factor there; a matrix commutes with the scalar factor.
// - 3x3 matrices are held column by column (element (r, c) is number r + 3c, as
//   Eigen::Matrix3d stores it); a matrix multiplies a column vector from the left.
//   Flash images hold them row by row.
// - The quaternion order of the record is x, y, z, w (SdkFrame.h).
//
// Threads: Process runs on the stream thread; Configure, commands, the setters,
// LoadCalibration, StoreCalibration and RestoreCalibration run on the host's.
// A model is reached only through its hub's manager, whose frame gate keeps
// the host's calls and frames apart (a frame is skipped while the host holds
// it), so a model takes no lock and a frame never sees a half-made change.
namespace Processing::QN {

using FlashImage = Communication::Device::QN::Bytes;
using Vector9d = Eigen::Matrix<double, 9, 1>;

// Parts of the calibration that storing and restoring take, as bits of their flags.
constexpr std::uint32_t kAccFlag = 1u << 0;
constexpr std::uint32_t kGyrFlag = 1u << 1;
constexpr std::uint32_t kMagFlag = 1u << 2;

// Throws std::logic_error when the image is shorter than the calibration
// area's bytes, before anything is read or written.
void RequireImageBytes(const FlashImage& image, std::size_t bytes);
// Whether a load can read the image's calibration area; logs an error if not.
bool LoadableImage(const FlashImage& image, std::size_t bytes);

// The record's triples in block order.
constexpr std::array<double (SensorRecord::*)[3], 3> kTriples{
    &SensorRecord::acceleration, &SensorRecord::angularRate, &SensorRecord::magneticField};

inline Eigen::Map<Eigen::Vector3d> TripleOf(SensorRecord& record, std::size_t triple) {
  return Eigen::Map<Eigen::Vector3d>(record.*kTriples[triple]);
}

// A triple's three data words (signed 16-bit, from word 3 x triple) times the
// generation's raw scale; they are also the record's uncalibrated readings.
Eigen::Vector3d RawTriple(const std::uint8_t* words, std::size_t triple, double rawScale, SensorRecord& record);
// Each triple of the record times its unit factor.
void ScaleTriples(SensorRecord& values, const std::array<double, 3>& unitFactors);

class CDKv : public CEndPoint {
 public:
  using SensorPtr = std::shared_ptr<Communication::Device::QN::CSensor>;
  using StagePtr = std::shared_ptr<CProcessing>;

  // Which pipeline steps run.
  struct Switches {
    bool thermo = true;        // thermal correction
    bool calibration = true;   // factory calibration
    bool compensation = true;  // deviation compensation
  };

  // Per triple: what ConvertUnits multiplies it by (non-zero).
  using UnitFactors = std::array<double, 3>;

  // Takes the position from the sensor; every switch on, blocks at defaults.
  // next may be null: the model then forwards nothing and ends the chain.
  CDKv(const SensorPtr& sensor, StagePtr next, const UnitFactors& unitFactors = {1.0, 1.0, 1.0});
  ~CDKv() override;

  // Reads the switches, reloads the calibration from the sensor's cached
  // flash image when it has one, then configures next (true without one).
  bool Configure(const boost::property_tree::ptree& configuration, const int* mode) override;
  // "set <switch>" with 32 doubles by position as input: true, not forwarded.
  // Anything else goes to next unchanged (false without one).
  bool ExecuteCommand(const std::string& command, void* input, void* output) override;
  // input: the sensor's data words in the raw frame; output: its SensorRecord.
  // Returns next's result (true without one).
  bool Process(const void* input, void* output) override;

  // Pipeline steps. Process runs PrepareCalibration, CompensateTemperature,
  // ApplyCalibration, ApplyDeviationCompensation (each but the first only while
  // its switch is on), then ConvertAndForward; their results are ignored.
  // ConvertUnits changes only the record's three triples.
  virtual void ConvertUnits(SensorRecord& values);
  virtual bool PrepareCalibration(const std::uint8_t* words, SensorRecord& record);
  virtual bool CompensateTemperature(const std::uint8_t* words, SensorRecord& record);
  virtual bool ApplyCalibration(const std::uint8_t* words, SensorRecord& record);
  // Each triple becomes its deviation matrix times (triple - its offsets), in
  // output units: the offsets are divided by the triple's unit factor.
  virtual bool ApplyDeviationCompensation(const std::uint8_t* words, SensorRecord& record);
  // ConvertUnits, then next's Process.
  virtual bool ConvertAndForward(const std::uint8_t* words, SensorRecord& record);

  // Flash image in the generation's layout. Store writes the parameter blocks
  // into it, Restore rolls it back; both throw std::logic_error when they
  // refuse. flags: bit 0 acceleration, bit 1 angular rate, bit 2 magnetic
  // field; method: 0 the last stored compensation, 1 the factory state. A
  // part with nothing calculated since the last load keeps the image's words.
  // Load takes the calibration from it; a generation may also complete the
  // image as it loads, and Configure keeps such changes in the sensor's image.
  virtual bool StoreCalibration(FlashImage& image, std::uint32_t flags);
  virtual bool LoadCalibration(FlashImage& image);
  virtual bool RestoreCalibration(FlashImage& image, std::uint32_t flags, std::uint32_t method);

  // Deviation-compensation blocks, in place for as long as the model lives:
  // 9 offsets (block order), 3x3 matrices of 9 values column by column.
  virtual const double* GetOffsets() const;
  virtual const double* GetAccMatrix() const;
  virtual const double* GetGyrMatrix() const;
  virtual const double* GetMagMatrix() const;
  virtual void SetOffsets(const double* values);
  virtual void SetAccMatrix(const double* values);
  virtual void SetGyrMatrix(const double* values);
  virtual void SetMagMatrix(const double* values);

  // Zero offsets, identity matrices; also what a load found, until it says
  // otherwise (KeepAsLoaded).
  void ResetParameterBlocks();
  // "disablethermo", "disablecompensation", "disablecalibration": 1/0 or
  // true/false, anything else false; disabling calibration disables all three.
  void ReadDisableFlags(const boost::property_tree::ptree& configuration);

  int Position() const { return position_; }

 protected:
  // Sends next the two motion-detector thresholds (same value for every
  // position), as models do right after construction.
  void SendMotionThresholds(double magnetic, double angularRate);
  Communication::Device::QN::CSensor* Sensor() const;
  const Switches& GetSwitches() const { return switches_; }

  const Vector9d& Offsets() const { return offsets_; }
  const Eigen::Matrix3d& DeviationMatrix(std::size_t triple) const { return matrices_[triple]; }

  // A load ends by recording its blocks. A triple whose offsets and matrix
  // still hold them has nothing calculated to store: storing it again would
  // only round the image's words (and rewrite its backups), so stores leave
  // such a part of the image as it stands.
  void KeepAsLoaded();
  bool CalculatedSinceLoad(std::size_t triple) const;

 private:
  int position_;  // 0 to 31 on the hub
  Switches switches_;
  StagePtr next_;
  UnitFactors unitFactors_;
  Vector9d offsets_;                         // output units
  std::array<Eigen::Matrix3d, 3> matrices_;  // acceleration, angular rate, magnetic field
  Vector9d loadedOffsets_;
  std::array<Eigen::Matrix3d, 3> loadedMatrices_;
};

}  // namespace Processing::QN
