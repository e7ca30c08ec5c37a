// Inverse kinematics for a few platform poses and a few warm-started forward
// steps, on a geometry read from a file; every number is printed with 17
// significant digits, which tells every double apart.
//
// usage: torso_example GEOMETRY
// GEOMETRY holds whitespace-separated numbers: motor_arm_length, rod_length,
// then per leg branch_platform (x y z), t_world_motor row by row (16) and
// solution. same_calls.py writes the sample geometry in this form.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <zandrel/kinematics.hpp>

namespace {

using zandrel::Mat4;

zandrel::Kinematics read_geometry(const char* path) {
  std::ifstream in(path);
  double motor_arm_length, rod_length;
  if (!(in >> motor_arm_length >> rod_length)) throw std::runtime_error("cannot read " + std::string(path));
  zandrel::Kinematics model(motor_arm_length, rod_length);
  zandrel::Vec3 branch_platform;
  double rows[16], solution;
  while (in >> branch_platform[0] >> branch_platform[1] >> branch_platform[2]) {
    for (double& x : rows) in >> x;
    if (!(in >> solution)) throw std::runtime_error("incomplete leg in " + std::string(path));
    model.add_branch(branch_platform, Mat4::from_rows(rows), solution);
  }
  return model;
}

// Rotation Rz(yaw) * Ry(pitch) * Rx(roll) (radians) and translation (x, y, z),
// composed with the library's multiply: its sums have a fixed order and are
// compiled inside the library, so this file's own compiler flags (say
// -march=native, which brings fused multiply-adds) change none of the bits.
Mat4 pose(double roll, double pitch, double yaw, double x, double y, double z) {
  const double cr = std::cos(roll), sr = std::sin(roll);
  const double cp = std::cos(pitch), sp = std::sin(pitch);
  const double cy = std::cos(yaw), sy = std::sin(yaw);
  Mat4 rz = Mat4::identity(), ry = Mat4::identity(), rx = Mat4::identity();
  rz(0, 0) = cy; rz(0, 1) = -sy; rz(1, 0) = sy; rz(1, 1) = cy;
  ry(0, 0) = cp; ry(0, 2) = sp; ry(2, 0) = -sp; ry(2, 2) = cp;
  rx(1, 1) = cr; rx(1, 2) = -sr; rx(2, 1) = sr; rx(2, 2) = cr;
  Mat4 t = zandrel::multiply(zandrel::multiply(rz, ry), rx);
  t(0, 3) = x; t(1, 3) = y; t(2, 3) = z;
  return t;
}

void print(const char* label, const double* values, std::size_t n) {
  std::printf("%s:", label);
  for (std::size_t i = 0; i < n; ++i) std::printf(" %.17g", values[i]);
  std::printf("\n");
}

void print_pose(const char* label, const Mat4& t) {
  double rows[16];
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) rows[4 * r + c] = t(r, c);
  print(label, rows, 16);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s GEOMETRY\n", argv[0]);
    return 2;
  }
  try {
    zandrel::Kinematics model = read_geometry(argv[1]);
    const double home_z = 0.177;
    const Mat4 home = pose(0.0, 0.0, 0.0, 0.0, 0.0, home_z);
    const Mat4 target = pose(0.10, -0.05, 0.08, 0.003, -0.002, home_z + 0.004);

    // One angle per leg; the output span must hold exactly that many.
    std::vector<double> angles(model.branches.size());
    zandrel::inverse_kinematics(model, home, std::nullopt, angles);
    print("inverse home", angles.data(), angles.size());
    zandrel::inverse_kinematics(model, target, 0.3, angles);
    print("inverse target, body yaw 0.3", angles.data(), angles.size());

    // The body yaw clamped to 0.1 around the platform's heading and to 0.25
    // absolute; the yaw used comes back.
    const double yaw = zandrel::inverse_kinematics_safe(model, target, 0.3, 0.1, 0.25, angles);
    print("inverse_safe target, yaw used", &yaw, 1);
    print("inverse_safe target, angles", angles.data(), angles.size());

    // Where the rod anchors are in the world at the target pose.
    std::vector<double> anchors;
    for (const zandrel::Branch& leg : model.branches)
      for (double x : zandrel::transform_point(target, leg.branch_platform)) anchors.push_back(x);
    print("anchors at target", anchors.data(), anchors.size());

    // Forward kinematics from home towards the target's angles: one step per
    // call, as a control loop would call it once per cycle.
    zandrel::inverse_kinematics(model, target, std::nullopt, angles);
    zandrel::JointAngles joint_angles;
    for (std::size_t i = 0; i < joint_angles.size(); ++i) joint_angles[i] = angles.at(i);
    zandrel::reset_forward_kinematics(model, home);
    for (int step = 1; step <= 4; ++step) {
      const std::string label = "forward step " + std::to_string(step);
      print_pose(label.c_str(), zandrel::forward_kinematics(model, joint_angles, std::nullopt));
    }
    print_pose("forward, body yaw 0.3", zandrel::forward_kinematics(model, joint_angles, 0.3));

    // Moving there within servo limits (3 rad/s, 30 rad/s^2) at 100 ticks a
    // second, on the straight path from home; the model is checked once and
    // shared, the follower is one control loop's state.
    zandrel::MotionModelSpec spec{model.motor_arm_length, model.rod_length, {}, home, 1.0};
    for (const zandrel::Branch& leg : model.branches) {
      zandrel::ServoLimits servo;
      servo.speed = 3.0;
      servo.acceleration = 30.0;
      spec.legs.push_back({leg.branch_platform, leg.t_world_motor, leg.solution, servo});
    }
    zandrel::Follower follower(zandrel::MotionModel::create(spec), 100.0);
    int ticks = 0;
    while (follower.step(target).status != zandrel::MotionStatus::arrived) {
      if (++ticks <= 3) {
        const std::string label = "follower tick " + std::to_string(ticks) + ", angles";
        print(label.c_str(), follower.last().angles.data(), follower.last().angles.size());
      }
    }
    const double arrived_after = ticks + 1;
    print("follower ticks to arrive", &arrived_after, 1);
  } catch (const zandrel::FatalError& e) {
    // A broken invariant: e.kind() tells a singular matrix, a model without
    // six legs and a bad yaw limit apart; what() describes it for people.
    std::fprintf(stderr, "fatal: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
