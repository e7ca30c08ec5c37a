// The solvers run under the model lock on every call; they must not touch the
// heap. This file replaces the global allocation functions with counting ones
// that only count on a thread that has switched counting on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "hexapod.hpp"
#include "kinematics/forward.hpp"
#include "kinematics/inverse.hpp"
#include "kinematics/inverse_safe.hpp"

namespace {

thread_local bool counting = false;
thread_local long allocations = 0;

void* counted_alloc(std::size_t size) {
  if (counting) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace zandrel {
namespace {

template <typename F>
long allocations_during(F&& f) {
  allocations = 0;
  counting = true;
  f();
  counting = false;
  return allocations;
}

TEST(NoAllocation, CounterSeesAnAllocation) {
  // Guards the guard: the replacement really is in effect.
  EXPECT_EQ(allocations_during([] { delete new int(1); }), 1);
}

TEST(NoAllocation, InverseKinematicsBothVariants) {
  const Kinematics model = test::make_hexapod();
  const Mat4 pose = test::sample_poses()[3];
  std::array<double, 6> out{};
  EXPECT_EQ(allocations_during([&] { inverse_kinematics(model, pose, 0.2, out); }), 0);
  EXPECT_EQ(allocations_during([&] {
              inverse_kinematics_safe(model, pose, 0.2, 0.1, 0.3, out);
            }),
            0);
}

TEST(NoAllocation, ForwardKinematicsStepAndLineSearch) {
  Kinematics model = test::make_hexapod();
  const JointAngles angles = test::ik6(model, test::sample_poses()[2]);
  const Mat4 before = model.fk_pose;
  EXPECT_EQ(allocations_during([&] { forward_kinematics(model, angles, 0.3); }), 0);
  ASSERT_NE(model.fk_pose, before) << "expected a step to have been taken";

  // The guarded path for a non-finite Jacobian, too.
  model.branches[0].branch_platform[0] = std::numeric_limits<double>::infinity();
  model.branches[0].point_jacobian = point_jacobian_of(model.branches[0].branch_platform);
  EXPECT_EQ(allocations_during([&] { forward_kinematics(model, angles, std::nullopt); }), 0);
}

}  // namespace
}  // namespace zandrel
