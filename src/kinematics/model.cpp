#include "zandrel/model.hpp"

namespace zandrel {

std::array<double, 18> point_jacobian_of(const Vec3& p) {
  const double x = p[0], y = p[1], z = p[2];
  // Columns 0..2: identity; columns 3..5: the negated cross-product matrix.
  return {1.0, 0.0, 0.0,  //
          0.0, 1.0, 0.0,  //
          0.0, 0.0, 1.0,  //
          0.0, -z,  y,    //
          z,   0.0, -x,   //
          -y,  x,   0.0};
}

void Kinematics::add_branch(const Vec3& branch_platform, const Mat4& t_world_motor,
                            double solution) {
  branches.push_back(Branch{t_world_motor, point_jacobian_of(branch_platform), branch_platform,
                            solution, std::nullopt, std::nullopt, inverse(t_world_motor)});
}

void Kinematics::add_branch(const Vec3& branch_platform, const Mat4& t_world_motor, double solution,
                            double leg_motor_arm_length, double leg_rod_length) {
  branches.push_back(Branch{t_world_motor, point_jacobian_of(branch_platform), branch_platform,
                            solution, leg_motor_arm_length, leg_rod_length,
                            inverse(t_world_motor)});
}

}  // namespace zandrel
