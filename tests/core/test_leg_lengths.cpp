// Legs with their own horn and rod lengths: a robot as built.
#include <gtest/gtest.h>

#include <array>

#include "hexapod.hpp"
#include "zandrel/forward.hpp"
#include "zandrel/inverse.hpp"

namespace zandrel {
namespace {

// The rig with each leg's horn and rod off by up to a millimetre, or, with
// `spread` 0, every leg given the shared lengths explicitly.
Kinematics built_hexapod(double spread, double solution = -1.0) {
  Kinematics model(test::kHornLength, test::kRodLength);
  const auto legs = test::hexapod_legs();
  for (std::size_t i = 0; i < legs.size(); ++i) {
    const double off = spread * (static_cast<double>(i) - 2.5) / 2.5;
    model.add_branch(legs[i].anchor, legs[i].t_world_motor, solution, test::kHornLength + off,
                     test::kRodLength - 0.7 * off);
  }
  return model;
}

const std::array<Mat4, 4> kPoses = {Mat4::identity(), test::rigid_pose(0.004, -0.003, 0.002, 0.1, -0.05, 0.08),
                                    test::rigid_pose(-0.006, 0.002, -0.004, -0.2, 0.1, 0.0),
                                    test::rigid_pose(0.0, 0.005, 0.006, 0.0, 0.15, -0.12)};

TEST(LegLengths, EachLegClosesWithItsOwnRod) {
  for (double solution : {-1.0, 1.0}) {
    const Kinematics model = built_hexapod(0.001, solution);
    for (const Mat4& pose : kPoses)
      for (double e : test::rod_errors(model, pose, test::ik6(model, pose))) EXPECT_NEAR(e, 0.0, 1e-14);
  }
}

TEST(LegLengths, SharedLengthsGivenPerLegAnswerToTheBit) {
  Kinematics shared = test::make_hexapod(), explicit_lengths = built_hexapod(0.0);
  const JointAngles angles = test::ik6(shared, kPoses[1]);
  for (const Mat4& pose : kPoses) EXPECT_TRUE(test::same_bits(test::ik6(shared, pose), test::ik6(explicit_lengths, pose)));
  for (int call = 0; call < 5; ++call)
    EXPECT_TRUE(test::same_bits(forward_kinematics(shared, angles, std::nullopt),
                                forward_kinematics(explicit_lengths, angles, std::nullopt)));
}

TEST(LegLengths, ForwardSettlesOnThePoseItsOwnLengthsClose) {
  Kinematics model = built_hexapod(0.001);
  for (const Mat4& pose : kPoses) {
    reset_forward_kinematics(model, Mat4::identity());
    const JointAngles angles = test::ik6(model, pose);
    Mat4 reached;
    for (int call = 0; call < 30; ++call) reached = forward_kinematics(model, angles, std::nullopt);
    // The solver stops once the rods close within 1e-6, a pose within
    // about 1e-5 of the exact one.
    EXPECT_LE(test::rod_error_norm(model, reached, angles), 1e-6);
    for (int k = 0; k < 16; ++k) EXPECT_NEAR(reached.v[k], pose.v[k], 1e-4);
  }
}

}  // namespace
}  // namespace zandrel
