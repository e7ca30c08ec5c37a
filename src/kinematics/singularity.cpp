#include "zandrel/singularity.hpp"

#include <cmath>
#include <limits>

#include "zandrel/inverse.hpp"

namespace zandrel {

double singularity_margin(const Kinematics& model, const Mat4& t_world_platform,
                          double home_determinant) {
  if (model.branches.size() != 6) return std::numeric_limits<double>::quiet_NaN();
  JointAngles angles;
  inverse_kinematics(model, t_world_platform, std::nullopt, angles);
  return rod_jacobian_determinant(model, t_world_platform, angles) / home_determinant;
}

}  // namespace zandrel
