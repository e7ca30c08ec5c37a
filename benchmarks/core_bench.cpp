// The C++ library's own cost per call, with no interpreter in the way: the
// benchmark starts this program, sends it the geometry and the inputs, then
// asks it to time loops of one case at a time, in the same rounds as the
// module's calls, so that a busy machine slows both alike.
//
// stdin, first: motor_arm_length rod_length, then per leg branch_platform (3),
// t_world_motor row by row (16) and solution, as examples/cpp reads them,
// closed by the word "end"; then the target pose T and the start pose P (16
// numbers each, row by row) and six joint angles A.
// Then requests, one per line, "CASE LOOPS"; each answer is one line: the
// seconds that LOOPS calls took. Cases: "inverse" (inverse_kinematics(T)),
// "reset" (reset_forward_kinematics(P)) and "reset_forward"
// (reset_forward_kinematics(P), then forward_kinematics(A): one step).
//
// "follower LOOPS" times LOOPS ticks of a motion Follower, after one request
// "motion" followed by the servos, per leg zero direction lower upper speed
// acceleration, then the home pose (16), the rate and the far target F (16),
// in metres. The follower starts at rest at home and heads for F; on arrival
// a new one starts at home again, so that the ticks timed are those of a
// move under way (accelerating, cruising, braking) rather than of one at
// rest at its target, which costs next to nothing. Building a follower costs
// far more than a tick (its buffers and paths are allocated once, there), so
// the time spent building them is timed on its own and left out.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zandrel/kinematics.hpp"
#include "zandrel/motion.hpp"

namespace {

using zandrel::Mat4;

Mat4 read_rows(std::istream& in) {
  double rows[16];
  for (double& x : rows) in >> x;
  return Mat4::from_rows(rows);
}

// Keeps the compiler from dropping work whose result is not otherwise used.
template <class T>
void keep(T& value) {
  asm volatile("" : : "r"(&value) : "memory");
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  double a, b;
  std::cin >> a >> b;
  zandrel::Kinematics model(a, b);
  std::string word;
  while (std::cin >> word && word != "end") {
    zandrel::Vec3 p{std::stod(word)};
    std::cin >> p[1] >> p[2];
    const Mat4 t_world_motor = read_rows(std::cin);
    double solution;
    std::cin >> solution;
    model.add_branch(p, t_world_motor, solution);
  }
  const Mat4 target = read_rows(std::cin);
  const Mat4 start = read_rows(std::cin);
  zandrel::JointAngles angles;
  for (double& x : angles) std::cin >> x;
  if (!std::cin) {
    std::fprintf(stderr, "core_bench: malformed input\n");
    return 2;
  }

  std::vector<double> out(model.branches.size());
  std::shared_ptr<const zandrel::MotionModel> motion;
  std::optional<zandrel::Follower> follower;
  std::optional<Mat4> far;
  std::string name;
  long loops;
  while (std::cin >> name) {
    if (name == "motion") {
      zandrel::MotionModelSpec spec{model.motor_arm_length, model.rod_length, {}, Mat4::identity(), 1.0};
      for (const auto& branch : model.branches) {
        zandrel::ServoLimits s;
        std::cin >> s.zero >> s.direction >> s.lower >> s.upper >> s.speed >> s.acceleration;
        spec.legs.push_back({branch.branch_platform, branch.t_world_motor, branch.solution, s});
      }
      spec.home = read_rows(std::cin);
      double rate;
      std::cin >> rate;
      far = read_rows(std::cin);
      if (!std::cin) {
        std::fprintf(stderr, "core_bench: malformed motion input\n");
        return 2;
      }
      motion = zandrel::MotionModel::create(spec);
      follower.emplace(motion, rate);
      continue;
    }
    if (!(std::cin >> loops)) break;
    std::chrono::steady_clock::duration rebuilding{};
    const auto begin = std::chrono::steady_clock::now();
    if (name == "inverse") {
      for (long i = 0; i < loops; ++i) {
        zandrel::inverse_kinematics(model, target, std::nullopt, out);
        keep(out);
      }
    } else if (name == "reset") {
      for (long i = 0; i < loops; ++i) {
        zandrel::reset_forward_kinematics(model, start);
        keep(model);
      }
    } else if (name == "reset_forward") {
      for (long i = 0; i < loops; ++i) {
        zandrel::reset_forward_kinematics(model, start);
        Mat4 pose = zandrel::forward_kinematics(model, angles, std::nullopt);
        keep(pose);
      }
    } else if (name == "follower" && follower) {
      for (long i = 0; i < loops; ++i) {
        const zandrel::Command& c = follower->step(far);
        keep(c);
        if (c.status == zandrel::MotionStatus::arrived) {
          const auto building = std::chrono::steady_clock::now();
          follower.emplace(motion, follower->rate());
          rebuilding += std::chrono::steady_clock::now() - building;
        } else if (c.status != zandrel::MotionStatus::moving) {
          std::fprintf(stderr, "core_bench: the follower stopped short of the target\n");
          return 2;
        }
      }
    } else {
      std::fprintf(stderr, "core_bench: unknown case %s\n", name.c_str());
      return 2;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - begin - rebuilding;
    std::printf("%.9e\n", elapsed.count());
    std::fflush(stdout);
  }
  return 0;
}
