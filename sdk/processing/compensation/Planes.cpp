#include <array>
#include <cmath>
#include <stdexcept>

#include "processing/compensation/Fits.h"
#include "processing/compensation/LeastSquares.h"
#include "processing/compensation/Messages.h"
#include "processing/compensation/Rotations.h"

namespace Processing::Compensation {

namespace {

constexpr std::size_t kTurns = 3;
constexpr int kPasses = 15;
// Largest |(d_x, d_y, d_z)| of three turns about three different axes.
constexpr double kAxisMismatchMax = 1e-4;

// How a turn about one axis is brought to its tilt: G = base x attitude (base
// first multiplied on the left by the flip when the turn's axis points
// against the plane's normal), decomposed about the Euler axes; the angle
// about the first, the turn's own axis, is dropped.
struct TurnAxis {
  std::array<double, 9> base;  // row by row
  std::array<double, 3> flip;  // diagonal
  std::array<int, 3> eulerAxes;
};

constexpr std::array<TurnAxis, 3> kTurnAxes{{
    {{0, 0, 1, 0, 1, 0, -1, 0, 0}, {-1, 1, -1}, {0, 2, 1}},  // x
    {{1, 0, 0, 0, 0, 1, 0, -1, 0}, {-1, -1, 1}, {1, 0, 2}},  // y
    {{1, 0, 0, 0, 1, 0, 0, 0, 1}, {-1, 1, -1}, {2, 0, 1}},   // z
}};

Eigen::Matrix3d Base(const TurnAxis& axis, bool flipped) {
  Eigen::Matrix3d base = Eigen::Map<const Eigen::Matrix<double, 3, 3, Eigen::RowMajor>>(axis.base.data());
  if (flipped) base = Eigen::Vector3d(axis.flip[0], axis.flip[1], axis.flip[2]).asDiagonal() * base;
  return base;
}

Eigen::Vector3d PlaneNormal(const Samples& samples, double rhs) {
  const auto h = SolveByNormalEquations(samples, Eigen::VectorXd::Constant(samples.rows(), rhs));
  // A turn whose field has no component along its axis has no plane off the
  // origin to fit.
  if (!h || h->norm() == 0) throw std::logic_error(Message::kBadData);
  return h->normalized();
}

struct PreparedTurn {
  const Samples* field;
  int axis;                                   // 0 x, 1 y, 2 z
  double sign;                                // of the axis e
  std::vector<Eigen::Quaterniond> tilts;      // one per frame
};

PreparedTurn Prepare(const Turn& turn, bool normaliseAttitude) {
  PreparedTurn prepared{&turn.field, 0, 1.0, {}};
  const Eigen::Vector3d h = PlaneNormal(turn.field, -1.0);
  // Largest component; x before y before z on ties.
  for (int c = 1; c < 3; ++c)
    if (std::abs(h(c)) > std::abs(h(prepared.axis))) prepared.axis = c;
  prepared.sign = h(prepared.axis) > 0 ? 1.0 : -1.0;

  const TurnAxis& axis = kTurnAxes[static_cast<std::size_t>(prepared.axis)];
  const Eigen::Matrix3d base = Base(axis, prepared.sign < 0);
  const Eigen::Vector3d second = Eigen::Vector3d::Unit(axis.eulerAxes[1]);
  const Eigen::Vector3d third = Eigen::Vector3d::Unit(axis.eulerAxes[2]);
  prepared.tilts.reserve(static_cast<std::size_t>(turn.attitude.rows()));
  for (Eigen::Index i = 0; i < turn.attitude.rows(); ++i) {
    Eigen::Vector4d q = turn.attitude.row(i).transpose();
    if (normaliseAttitude) q.normalize();
    const Eigen::Vector3d t =
        EulerAngles(base * RotationOf(q), axis.eulerAxes[0], axis.eulerAxes[1], axis.eulerAxes[2]);
    const Eigen::Matrix3d tilt = (Eigen::AngleAxisd(t(1), second) * Eigen::AngleAxisd(t(2), third)).toRotationMatrix();
    prepared.tilts.emplace_back(tilt);
  }
  return prepared;
}

}  // namespace

Eigen::Matrix3d FitPlanes(const std::vector<Turn>& turns) {
  if (turns.size() < kTurns) throw std::logic_error(Message::kTooLittleData);
  const Eigen::Index n = turns[0].field.rows();
  for (std::size_t j = 0; j < kTurns; ++j)
    if (turns[j].field.rows() != n || turns[j].attitude.rows() != n) throw std::logic_error(Message::kBadData);
  if (n == 0) throw std::logic_error(Message::kTooLittleData);

  // Only the second turn's attitudes are normalised.
  std::array<PreparedTurn, kTurns> prepared{Prepare(turns[0], false), Prepare(turns[1], true),
                                            Prepare(turns[2], false)};
  Eigen::Vector3d coverage = Eigen::Vector3d::Constant(-1.0);
  for (const auto& turn : prepared) coverage(turn.axis) += 1.0;
  if (coverage.norm() > kAxisMismatchMax) throw std::logic_error(Message::kBadAxis);

  Eigen::Matrix3d p = Eigen::Matrix3d::Identity();
  double alpha = 0.0, beta = 0.0, gamma = 0.0;
  Samples levelled(n, 3);
  for (int pass = 0; pass < kPasses; ++pass) {
    std::array<Eigen::Vector3d, 3> normals;  // by the turn's axis
    for (const auto& turn : prepared) {
      const Samples corrected = TransformSamples(*turn.field, p, Eigen::Vector3d::Zero());
      for (Eigen::Index i = 0; i < n; ++i)
        levelled.row(i) = (turn.tilts[static_cast<std::size_t>(i)].normalized() * corrected.row(i).transpose()).transpose();
      normals[static_cast<std::size_t>(turn.axis)] = PlaneNormal(levelled, -turn.sign);
    }
    const auto& [nx, ny, nz] = normals;
    alpha += (nz.y() - ny.z()) / 2;
    beta += (nx.z() - nz.x()) / 2;
    gamma += (ny.x() - nx.y()) / 2;
    p = RotationZxy(gamma, alpha, beta).toRotationMatrix();
  }
  if (!p.allFinite()) throw std::logic_error(Message::kBadData);
  return p;
}

}  // namespace Processing::Compensation
