#include <stdexcept>

#include "processing/compensation/Ellipsoid.h"
#include "processing/compensation/Fits.h"
#include "processing/compensation/LeastSquares.h"
#include "processing/compensation/Messages.h"
#include "processing/compensation/Rotations.h"

namespace Processing::Compensation {

namespace {

// Gauss-Newton passes; the last pass's corrections are not applied.
constexpr int kAlignmentPasses = 12;

using Vector9 = Eigen::Matrix<double, 9, 1>;

// Elements of m row by row, to meet the columns 3r + c of the products below.
Vector9 RowByRow(const Eigen::Matrix3d& m) {
  const Eigen::Matrix<double, 3, 3, Eigen::RowMajor> rows = m;
  return Eigen::Map<const Vector9>(rows.data());
}

Eigen::Matrix3d Cross(const Eigen::Vector3d& axis) {
  Eigen::Matrix3d m;
  m << 0, -axis.z(), axis.y(),
       axis.z(), 0, -axis.x(),
       -axis.y(), axis.x(), 0;
  return m;
}

}  // namespace

Correction FitNPoints(const Samples& field, const Samples& acceleration) {
  const Correction ellipsoid = FitEllipsoidTwice(field, SecondPass::AboveHalf);
  const Eigen::Index n = field.rows();

  const Samples gravity = -acceleration.rowwise().normalized();
  const Samples unitField = TransformSamples(field, ellipsoid.matrix, -ellipsoid.shift).rowwise().normalized();
  // g . (R u) = sum over r, c of g_r u_c R(r, c): one product per pass.
  Eigen::MatrixXd products(n, 9);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) products.col(3 * r + c) = gravity.col(r).cwiseProduct(unitField.col(c));

  // k (g . R u) = 1 in every frame, R = Rz(gamma) Rx(alpha) Ry(beta).
  double k = 1.0, alpha = 0.0, beta = 0.0, gamma = 0.0;
  Eigen::Matrix3d rotation;
  for (int pass = 1;; ++pass) {
    rotation = RotationZxy(gamma, alpha, beta).toRotationMatrix();
    if (pass == kAlignmentPasses) break;

    const Eigen::Matrix3d rz = Eigen::AngleAxisd(gamma, Eigen::Vector3d::UnitZ()).toRotationMatrix();
    const Eigen::Matrix3d rxy = (Eigen::AngleAxisd(alpha, Eigen::Vector3d::UnitX()) *
                                 Eigen::AngleAxisd(beta, Eigen::Vector3d::UnitY())).toRotationMatrix();
    // d/dt AA(t, e) = [e]x AA(t, e).
    Eigen::Matrix<double, 9, 3> derivatives;
    derivatives.col(0) = RowByRow(rz * Cross(Eigen::Vector3d::UnitX()) * rxy);
    derivatives.col(1) = RowByRow(rotation * Cross(Eigen::Vector3d::UnitY()));
    derivatives.col(2) = RowByRow(Cross(Eigen::Vector3d::UnitZ()) * rotation);

    const Eigen::VectorXd dots = products * RowByRow(rotation);
    Eigen::MatrixXd jacobian(n, 4);
    jacobian.col(0) = dots;
    jacobian.rightCols<3>() = k * (products * derivatives);
    const Eigen::VectorXd residual = (k * dots).array() - 1.0;
    // A frame without acceleration, or an alignment that runs away (field
    // square to gravity), leaves no finite step.
    const auto solved = SolveBySvd(jacobian, residual);
    if (!solved) throw std::logic_error(Message::kBadData);
    const Eigen::Vector4d step = *solved;
    k -= step(0);
    alpha -= step(1);
    beta -= step(2);
    gamma -= step(3);
  }

  if (!rotation.allFinite()) throw std::logic_error(Message::kBadData);
  return {rotation, ellipsoid.shift};
}

}  // namespace Processing::Compensation
