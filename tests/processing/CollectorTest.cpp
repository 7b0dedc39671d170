// The deviation-compensation collector over a chain of sensor models: its
// commands, its blocks, and what each compensation writes into a model.

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "ModelImages.h"
#include "SyntheticMotion.h"
#include "WritingHub.h"
#include "processing/decoders/EndPoints.h"
#include "processing/manager/dc/Dc.h"
#include "processing/model/DKv5.h"
#include "processing/model/DKv6.h"
#include "processing/model/DKv7.h"

namespace {

using namespace SyntheticMotion;
using Communication::Device::QN::Bytes;
using Communication::Device::QN::CSensor;
using Processing::SdkFrame;
using Processing::SensorRecord;
using Processing::Manager::QN::Chain;
using Processing::Manager::QN::Dc::Batch;
using Processing::Manager::QN::Dc::CDc;
using Processing::QN::CDKv;

template <class Model = Processing::QN::CDKv5>
std::shared_ptr<CDKv> MakeModel(int position, Bytes flash = {}, const std::string& identity = "DKv5 Jan 10 2020") {
  auto sensor = std::make_shared<CSensor>(identity, 0, 14, 20, position, Bytes{}, std::move(flash));
  return std::make_shared<Model>(sensor, nullptr);
}

// The four blocks of a model, as the getters give them.
struct Blocks {
  std::array<double, 9> offsets, acc, gyr, mag;
  bool operator==(const Blocks& other) const {
    return offsets == other.offsets && acc == other.acc && gyr == other.gyr && mag == other.mag;
  }
};

Blocks BlocksOf(const CDKv& model) {
  Blocks blocks;
  std::copy_n(model.GetOffsets(), 9, blocks.offsets.begin());
  std::copy_n(model.GetAccMatrix(), 9, blocks.acc.begin());
  std::copy_n(model.GetGyrMatrix(), 9, blocks.gyr.begin());
  std::copy_n(model.GetMagMatrix(), 9, blocks.mag.begin());
  return blocks;
}

// Blocks that no compensation would leave as they are.
void Preset(CDKv& model) {
  const double offsets[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const double acc[9] = {1.1, 0.1, 0, 0, 0.9, 0, 0, 0, 1};
  const double gyr[9] = {1, 0, 0, 0.2, 1, 0, 0, 0, 1.2};
  const double mag[9] = {1.2, 0.05, -0.1, 0.02, 0.8, 0.03, 0.1, -0.04, 1.05};  // column by column
  model.SetOffsets(offsets);
  model.SetAccMatrix(acc);
  model.SetGyrMatrix(gyr);
  model.SetMagMatrix(mag);
}

Eigen::Matrix3d MagMatrix(const CDKv& model) { return Eigen::Map<const Eigen::Matrix3d>(model.GetMagMatrix()); }
Eigen::Matrix<double, 9, 1> Offsets(const CDKv& model) {
  return Eigen::Map<const Eigen::Matrix<double, 9, 1>>(model.GetOffsets());
}

// Frames whose block at position holds the given rows (a null one stays 0).
struct Recording {
  const Samples* field = nullptr;
  const Samples* acceleration = nullptr;
  const Samples* rate = nullptr;
  const Quaternions* attitude = nullptr;  // w, x, y, z
};

Batch Frames(int position, const Recording& r) {
  const Samples* any = r.field ? r.field : r.acceleration ? r.acceleration : r.rate;
  Batch batch(static_cast<std::size_t>(any->rows()));
  for (std::size_t i = 0; i < batch.size(); ++i) {
    SensorRecord& record = batch[i].sensors[position];
    const auto row = static_cast<Eigen::Index>(i);
    for (int c = 0; c < 3; ++c) {
      if (r.field) record.magneticField[c] = (*r.field)(row, c);
      if (r.acceleration) record.acceleration[c] = (*r.acceleration)(row, c);
      if (r.rate) record.angularRate[c] = (*r.rate)(row, c);
    }
    if (r.attitude) {
      const auto& q = *r.attitude;
      record.quaternion[0] = q(row, 1);
      record.quaternion[1] = q(row, 2);
      record.quaternion[2] = q(row, 3);
      record.quaternion[3] = q(row, 0);
    }
  }
  return batch;
}

// The "add" block: count, then at byte 4 the frames' address.
std::array<std::uint8_t, 12> AddBlock(std::uint32_t count, const SdkFrame* frames) {
  std::array<std::uint8_t, 12> block{};
  const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(frames));
  std::memcpy(block.data(), &count, 4);
  std::memcpy(block.data() + 4, &address, 8);
  return block;
}

class Collector : public ::testing::Test {
 protected:
  std::shared_ptr<CDKv> Add(std::shared_ptr<CDKv> model) {
    chain.push_back(model);
    return model;
  }

  bool Record(const Batch& frames) {
    auto block = AddBlock(static_cast<std::uint32_t>(frames.size()), frames.data());
    return dc.ExecuteCommand("add", block.data(), nullptr);
  }

  // The success mask of "calculate <name>" for the sensor mask, or none when
  // the command fails.
  std::optional<std::uint32_t> Calculate(const std::string& name, std::uint32_t mask) {
    std::uint32_t output = 0xA5A5A5A5;
    if (!dc.ExecuteCommand("calculate " + name, &mask, &output)) return std::nullopt;
    return output;
  }

  std::optional<std::uint32_t> Rewrite(const std::string& command, std::array<std::uint32_t, 3> input) {
    std::uint32_t output = 0xA5A5A5A5;
    if (!dc.ExecuteCommand(command, input.data(), &output)) return std::nullopt;
    return output;
  }

  std::shared_ptr<WritingHub> hub = std::make_shared<WritingHub>();
  Chain chain;
  CDc dc{hub, &chain};
  LogCapture log;
};

TEST_F(Collector, CalculatesForTheSelectedModelsAndReportsEachSuccess) {
  const auto sphere = Add(MakeModel(5));
  const auto plane = Add(MakeModel(2));
  chain.push_back(std::make_shared<Processing::QN::CQuat>(std::make_shared<CSensor>("DKv5", 1, 14, 10, 7, Bytes{}, Bytes{})));
  Preset(*sphere);
  Preset(*plane);
  const Blocks planeBefore = BlocksOf(*plane);

  const Samples onSphere = OnEllipsoid(Matrix3d::Identity(), {-1, -2, -3}, 100);
  Samples onPlane = onSphere;
  onPlane.col(2).setConstant(0.5);
  Batch frames = Frames(5, {&onSphere});
  const Batch planar = Frames(2, {&onPlane});
  for (std::size_t i = 0; i < frames.size(); ++i) frames[i].sensors[2] = planar[i].sensors[2];
  ASSERT_TRUE(Record(frames));

  EXPECT_EQ(Calculate("mag", 0), 0u);
  EXPECT_EQ(BlocksOf(*plane), planeBefore);
  EXPECT_EQ(Calculate("mag", 1u << 5 | 1u << 2 | 1u << 7), 1u << 5);

  EXPECT_LT((Offsets(*sphere).tail<3>() - Vector3d(1, 2, 3)).cwiseAbs().maxCoeff(), 1e-9)
      << Offsets(*sphere).transpose();
  EXPECT_LT((MagMatrix(*sphere) - Matrix3d::Identity()).cwiseAbs().maxCoeff(), 1e-9) << MagMatrix(*sphere);
  EXPECT_EQ(Offsets(*sphere).head<6>(), (Eigen::Matrix<double, 6, 1>() << 1, 2, 3, 4, 5, 6).finished());
  EXPECT_EQ(BlocksOf(*plane), planeBefore);
  EXPECT_TRUE(log.Contains("<error> <dc> sensor 2: cannot calculate ellipse parameters"));
}

struct FitCase {
  const char* name;
  std::vector<Batch> batches;
  // From the preset blocks: the offsets and magnetometer matrix expected.
  Eigen::Matrix<double, 9, 1> offsets;
  Matrix3d mag;
};

// Each compensation reads the quantities it needs from its sensor's block and
// writes only its own part: every expected value follows from how the frames
// were made and from the preset blocks.
TEST_F(Collector, EachCompensationWritesItsOwnPartOfTheModel) {
  constexpr int kPosition = 9;
  const auto model = Add(MakeModel(kPosition));
  Preset(*model);
  const Eigen::Matrix<double, 9, 1> preset = Offsets(*model);
  const Matrix3d presetMag = MagMatrix(*model);
  const auto with = [&](std::initializer_list<std::pair<int, double>> changes) {
    Eigen::Matrix<double, 9, 1> offsets = preset;
    for (const auto& [index, value] : changes) offsets(index) = value;
    return offsets;
  };

  Samples rate(20, 3);
  for (Eigen::Index i = 0; i < rate.rows(); ++i) rate.row(i) << 0.1, 0.0, -0.2;
  Samples otherRate = rate;
  otherRate.col(1).setConstant(7.0);
  const Samples accelerations = OnEllipsoid(Matrix3d::Identity() / 9.81, {-0.1, 0.2, -0.05}, 100);
  const Samples sphere = OnEllipsoid(Matrix3d::Identity(), {-1, -2, -3}, 100);
  const Samples elsewhere = OnEllipsoid(Matrix3d::Identity() * 2, {4, 4, 4}, 100);
  const Matrix3d mounting = Rz(0.03) * Rx(-0.02) * Ry(0.04);
  const Tumbling tumbling = Tumble(mounting, Matrix3d::Identity(), {0.1, -0.2, 0.3});
  const Levelling tilted = TiltedTurns();
  std::vector<Batch> turns;
  for (const auto& turn : {Turning(kXUp, Matrix3d::Identity(), mounting), Turning(kYDown, Rx(0.05), mounting),
                           Turning(kZUp, Matrix3d::Identity(), mounting)})
    turns.push_back(Frames(kPosition, {&turn.field, nullptr, nullptr, &turn.attitude}));

  std::vector<std::pair<std::string, FitCase>> cases;
  cases.push_back({"gyr", {"gyr: constant rate; a later batch ignored",
                           {Frames(kPosition, {nullptr, nullptr, &rate}), Frames(kPosition, {nullptr, nullptr, &otherRate})},
                           with({{3, 0.1}, {4, 0.0}, {5, -0.2}}), presetMag}});
  cases.push_back({"acc", {"acc: sphere about (0.1, -0.2, 0.05)", {Frames(kPosition, {nullptr, &accelerations})},
                           with({{0, 0.1}, {1, -0.2}, {2, 0.05}}), presetMag}});
  cases.push_back({"mag", {"mag: sphere about (1, 2, 3); a later batch ignored",
                           {Frames(kPosition, {&sphere}), Frames(kPosition, {&elsewhere})},
                           with({{6, 1}, {7, 2}, {8, 3}}), Matrix3d::Identity()}});
  cases.push_back({"npoints", {"npoints: tumbling, turned magnetometer",
                               {Frames(kPosition, {&tumbling.field, &tumbling.acceleration})},
                               with({{6, -0.1}, {7, 0.2}, {8, -0.3}}), mounting.transpose()}});
  cases.push_back({"mag2d", {"mag2d: tilted turns (x, y, z, w read from the record)",
                             {Frames(kPosition, {&tilted.field, nullptr, nullptr, &tilted.attitude})},
                             with({{6, 0}, {7, 0}, {8, 0}}), Matrix3d::Identity()}});
  cases.push_back({"planes", {"planes: three turns, on the right of the matrix", turns, preset,
                              presetMag * mounting.transpose()}});

  for (const auto& [name, c] : cases) {
    Preset(*model);
    ASSERT_TRUE(dc.ExecuteCommand("clear", nullptr, nullptr));
    for (const auto& batch : c.batches) ASSERT_TRUE(Record(batch)) << c.name;
    EXPECT_EQ(Calculate(name, 1u << kPosition), 1u << kPosition) << c.name;
    EXPECT_LT((Offsets(*model) - c.offsets).cwiseAbs().maxCoeff(), 1e-9) << c.name << ": " << Offsets(*model).transpose();
    EXPECT_LT((MagMatrix(*model) - c.mag).cwiseAbs().maxCoeff(), 1e-9) << c.name << ":\n" << MagMatrix(*model);
  }
}

TEST_F(Collector, RefusedDataLeaveTheModelAsItWas) {
  constexpr int kPosition = 3;
  const auto model = Add(MakeModel(kPosition));
  Preset(*model);
  const Blocks before = BlocksOf(*model);

  const Samples sphere = OnEllipsoid(Matrix3d::Identity(), {-1, -2, -3}, 100);
  Samples planeZ0 = sphere, planeZ2 = sphere;
  planeZ0.col(2).setZero();
  planeZ2.col(2).setConstant(2.0);
  // A level turn about one axis: a circle of the other two components at a
  // height along it.
  const auto turn = [](int axis, double height, int frames) {
    Samples field(frames, 3);
    for (int i = 0; i < frames; ++i) {
      field(i, axis) = height;
      field(i, (axis + 1) % 3) = 0.1 + 0.3 * std::cos(2 * kPi * i / frames);
      field(i, (axis + 2) % 3) = -0.2 + 0.3 * std::sin(2 * kPi * i / frames);
    }
    Quaternions level = Quaternions::Zero(frames, 4);
    level.col(0).setOnes();
    return Frames(kPosition, {&field, nullptr, nullptr, &level});
  };
  const Batch empty;
  struct Case {
    const char* name;
    std::vector<Batch> batches;
    const char* message;
  };
  const std::vector<std::pair<std::string, Case>> cases = {
      {"gyr", {"gyr, nothing recorded", {}, "too little data collected"}},
      {"gyr", {"gyr, empty first batch", {empty, Frames(kPosition, {nullptr, nullptr, &sphere})}, "too little data collected"}},
      {"acc", {"acc, nothing recorded", {}, "too little data collected"}},
      {"acc", {"acc, empty first batch", {empty}, "cannot calculate ellipse parameters"}},
      {"mag", {"mag, empty first batch", {empty, Frames(kPosition, {&sphere})}, "cannot calculate ellipse parameters"}},
      {"mag", {"mag, plane z = 0", {Frames(kPosition, {&planeZ0})}, "cannot calculate ellipse parameters"}},
      {"mag", {"mag, plane z = 2", {Frames(kPosition, {&planeZ2})}, "cannot calculate ellipse parameters"}},
      {"npoints", {"npoints, nothing recorded", {}, "too little data collected"}},
      {"mag2d", {"mag2d, nothing recorded", {}, "too little data collected"}},
      {"planes", {"planes, two batches", {turn(2, -0.4, 10), turn(0, -0.4, 10)}, "too little data collected"}},
      {"planes", {"planes, 10, 10 and 11 frames", {turn(2, -0.4, 10), turn(0, -0.4, 10), turn(1, 0.4, 11)},
                  "bad data collected"}},
      {"planes", {"planes, two turns about z", {turn(2, -0.4, 10), turn(2, 0.5, 10), turn(0, -0.4, 10)}, "bad axis"}},
      {"planes", {"planes, a turn without field along its axis",
                  {turn(2, -0.4, 10), turn(1, 0.0, 10), turn(0, -0.4, 10)}, "bad data collected"}},
  };
  for (const auto& [name, c] : cases) {
    ASSERT_TRUE(dc.ExecuteCommand("clear", nullptr, nullptr));
    for (const auto& batch : c.batches) ASSERT_TRUE(Record(batch)) << c.name;
    const LogCapture caseLog;
    EXPECT_EQ(Calculate(name, 1u << kPosition), 0u) << c.name;
    EXPECT_EQ(BlocksOf(*model), before) << c.name;
    EXPECT_EQ(caseLog.Lines(), std::vector<std::string>{std::string("<error> <dc> sensor 3: ") + c.message}) << c.name;
  }
}

TEST_F(Collector, RefusesBlocksItCannotReadAndNamesItDoesNotKnow) {
  const auto model = Add(MakeModel(0));
  Preset(*model);
  const Blocks before = BlocksOf(*model);
  const Batch frames(4);
  std::uint32_t mask = 1, output = 0xA5A5A5A5;
  const auto nullFrames = AddBlock(3, nullptr);
  struct Refused {
    const char* command;
    const void* input;
    std::uint32_t* output;
  };
  std::vector<Refused> refused = {
      {"calculate", &mask, &output},
      {"calculate xyz", &mask, &output},
      {"calculate mag", nullptr, &output},
      {"calculate gyr", &mask, nullptr},
      {"add", nullptr, nullptr},
      {"add", nullFrames.data(), nullptr},
      {"update", nullptr, &output},
      {"restore", &mask, nullptr},
  };
#if !defined(__SANITIZE_ADDRESS__)
  // 70 TB of frames. AddressSanitizer ends the process on a failed allocation
  // rather than throw.
  const auto tooMany = AddBlock(0xFFFFFFFFu, frames.data());
  refused.push_back({"add", tooMany.data(), nullptr});
#endif
  for (const auto& c : refused) {
    EXPECT_FALSE(dc.ExecuteCommand(c.command, const_cast<void*>(c.input), c.output)) << c.command;
    EXPECT_EQ(output, 0xA5A5A5A5u) << c.command;
  }
  // None of the adds recorded anything.
  EXPECT_EQ(Calculate("gyr", 1), 0u);
  EXPECT_TRUE(log.Contains("<error> <dc> sensor 0: too little data collected"));
  EXPECT_EQ(BlocksOf(*model), before);
  EXPECT_TRUE(hub->writes.empty());
}

TEST_F(Collector, RecordsCopiesOfTheFramesUntilCleared) {
  const auto model = Add(MakeModel(0));
  Samples rate(10, 3);
  rate.setConstant(0.25);
  Batch frames = Frames(0, {nullptr, nullptr, &rate});
  ASSERT_TRUE(Record(frames));
  for (auto& frame : frames) frame.sensors[0].angularRate[0] = 99.0;  // the host reuses its buffer
  EXPECT_EQ(Calculate("gyr", 1), 1u);
  EXPECT_EQ(Offsets(*model).segment<3>(3), Vector3d(0.25, 0.25, 0.25));

  ASSERT_TRUE(dc.ExecuteCommand("clear", nullptr, nullptr));
  EXPECT_TRUE(dc.ExecuteCommand("add", AddBlock(0, nullptr).data(), nullptr));  // an empty batch
  const LogCapture emptyBatch;
  EXPECT_EQ(Calculate("gyr", 1), 0u);
  EXPECT_EQ(Calculate("acc", 1), 0u);
  EXPECT_EQ(emptyBatch.Lines(), (std::vector<std::string>{"<error> <dc> sensor 0: too little data collected",
                                                          "<error> <dc> sensor 0: cannot calculate ellipse parameters"}));

  // Neither "update" with more after it nor an unknown word does anything.
  std::uint32_t input[2] = {1, 2}, output = 0xA5A5A5A5;
  EXPECT_TRUE(dc.ExecuteCommand("update x", input, &output));
  EXPECT_TRUE(dc.ExecuteCommand("frobnicate", input, &output));
  EXPECT_EQ(output, 0xA5A5A5A5u);
  EXPECT_TRUE(hub->writes.empty());
}

TEST_F(Collector, UpdatesAndRestoresThroughCopiesOfTheSensorsImages) {
  const Bytes image = ModelImages::Image(ModelImages::Unit());
  const auto written = Add(MakeModel<Processing::QN::CDKv6>(4, image, "DKv6"));
  const auto noImage = Add(MakeModel<Processing::QN::CDKv6>(6, {}, "DKv6"));
  const auto dkv7 = Add(MakeModel<Processing::QN::CDKv7>(8, image, "DKv7"));
  const auto unselected = Add(MakeModel<Processing::QN::CDKv6>(10, image, "DKv6"));
  for (const auto& model : {written, noImage, dkv7, unselected}) {
    Bytes copy = image;
    model->LoadCalibration(copy);
  }
  // 0.1 is no multiple of 2^-27: a reload from the image would change it.
  const double offsets[9] = {0, 0, 0, 0, 0, 0, 0.1, -0.25, 0.125};
  written->SetOffsets(offsets);
  const std::uint32_t all = 1u << 4 | 1u << 6 | 1u << 8;

  // DKv7 stores only with bit 2: with bit 0 it refuses; DKv6 stores bit 2.
  EXPECT_EQ(Rewrite("update", {all, 1, 0}), 0u);
  EXPECT_TRUE(log.Contains("<error> <dc> sensor 4: unsupported sensetive element"));
  EXPECT_TRUE(log.Contains("<error> <dc> sensor 8: unsupported sensetive element"));
  EXPECT_TRUE(hub->writes.empty());

  hub->accept = false;
  EXPECT_EQ(Rewrite("update", {1u << 4, 4, 0}), 0u);
  ASSERT_EQ(hub->writes.size(), 1u);
  EXPECT_EQ(Offsets(*written)(6), 0.1) << "reloaded after a failed write";

  hub->accept = true;
  hub->writes.clear();
  EXPECT_EQ(Rewrite("update", {all, 4, 0}), 1u << 4 | 1u << 8);
  ASSERT_EQ(hub->writes.size(), 2u);
  EXPECT_EQ(hub->writes[0].busAddress, 5);
  EXPECT_EQ(hub->writes[1].busAddress, 9);
  Bytes expected = image;
  // trunc(0.1 x 2^27) = 13421772.
  ModelImages::PutAll(expected, 1024, ModelImages::Words3{13421772, -0x02000000, 0x01000000});
  EXPECT_EQ(hub->writes[0].image, expected);
  // Reloaded from what was written; the cached image is the hub's to change.
  EXPECT_EQ(Offsets(*written).tail<3>(), Vector3d(13421772.0 / (1 << 27), -0.25, 0.125));

  hub->writes.clear();
  EXPECT_EQ(Rewrite("xrestorex", {1u << 4 | 1u << 8, 4, 1}), 1u << 4 | 1u << 8);
  ASSERT_EQ(hub->writes.size(), 2u);
  EXPECT_EQ(hub->writes[0].image, image);
  EXPECT_EQ(Offsets(*written).tail<3>(), Vector3d::Zero());
  EXPECT_EQ(Rewrite("restore", {1u << 4, 4, 0}), 0u);
  EXPECT_TRUE(log.Contains("<error> <dc> sensor 4: can be rolled back only to factory calibration"));
}

TEST(CollectorWithoutTheMakersHub, RefusesToUpdateOrRestore) {
  Chain chain{MakeModel(0, ModelImages::Image(ModelImages::Unit()))};
  CDc dc(nullptr, &chain);
  std::uint32_t input[3] = {1, 4, 1}, output = 0xA5A5A5A5;
  EXPECT_FALSE(dc.ExecuteCommand("update", input, &output));
  EXPECT_FALSE(dc.ExecuteCommand("restore", input, &output));
  EXPECT_EQ(output, 0xA5A5A5A5u);
}

}  // namespace
