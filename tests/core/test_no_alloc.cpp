// The solvers run under the model lock on every call; they must not touch the
// heap. This file replaces the global allocation functions with counting ones
// that only count on a thread that has switched counting on: operator new,
// and with glibc also malloc, calloc and realloc (Eigen allocates through
// malloc, not operator new). The sanitizers interpose malloc themselves, so
// under them only operator new is counted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "hexapod.hpp"
#include "kinematics/forward_step.hpp"
#include "zandrel/inverse.hpp"
#include "zandrel/inverse_safe.hpp"
#include "zandrel/motion.hpp"

// GCC's sanitizer macros; clang's are behind __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZANDREL_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZANDREL_UNDER_SANITIZER 1
#endif
#endif

namespace {

thread_local bool counting = false;
thread_local long allocations = 0;

}  // namespace

#if defined(__GLIBC__) && !defined(ZANDREL_UNDER_SANITIZER)
#define ZANDREL_COUNT_MALLOC 1
// Forward to glibc's own entry points; the ordinary free releases what they return.
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* malloc(std::size_t size) noexcept {
  allocations += counting;
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t n, std::size_t size) noexcept {
  allocations += counting;
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t size) noexcept {
  allocations += counting;
  return __libc_realloc(p, size);
}
#define ZANDREL_UNCOUNTED_MALLOC __libc_malloc
#else
#define ZANDREL_UNCOUNTED_MALLOC std::malloc
#endif

namespace {

void* counted_alloc(std::size_t size) {
  allocations += counting;
  if (void* p = ZANDREL_UNCOUNTED_MALLOC(size == 0 ? 1 : size)) return p;
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
  // Guards the guard: the replacements really are in effect.
  EXPECT_EQ(allocations_during([] { delete new int(1); }), 1);
#ifdef ZANDREL_COUNT_MALLOC
  // Through a volatile pointer, so that the pair cannot be optimised away.
  void* (*volatile allocate)(std::size_t) = std::malloc;
  EXPECT_EQ(allocations_during([&] { std::free(allocate(24)); }), 1);
#endif
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

  // The decomposition route, taken when the direct solve is not certified:
  // here every leg is the same, so J has rank one.
  Kinematics degenerate = test::make_hexapod();
  for (Branch& b : degenerate.branches) b = degenerate.branches[0];
  degenerate.fk_pose = test::translation(0.001, 0.0, 0.002);
  const StepSystem sys = step_system(degenerate, angles);
  Vec6 unused;
  ASSERT_FALSE(certified_solve(sys.jacobian, sys.residuals, 1e-6, unused));
  EXPECT_EQ(allocations_during([&] { forward_kinematics(degenerate, angles, std::nullopt); }), 0);

  // The guarded path for a non-finite Jacobian, too.
  model.branches[0].branch_platform[0] = std::numeric_limits<double>::infinity();
  model.branches[0].point_jacobian = point_jacobian_of(model.branches[0].branch_platform);
  EXPECT_EQ(allocations_during([&] { forward_kinematics(model, angles, std::nullopt); }), 0);
}

TEST(NoAllocation, FollowerTicks) {
  // A control loop's tick: moving, re-targeted mid-move, clamped far out
  // of reach, braking to hold.
  MotionModelSpec spec{test::kHornLength, test::kRodLength, {}, Mat4::identity(), 1.0};
  for (const test::Leg& leg : test::hexapod_legs())
    spec.legs.push_back({leg.anchor, leg.t_world_motor, -1.0, {0.0, 1.0, -1.2, 1.2, 6.0, 60.0}});
  Follower follower(MotionModel::create(spec), 500.0);
  const Mat4 near = test::translation(0.0, 0.004, 0.003), far = test::translation(0.0, 0.0, 0.08);
  EXPECT_EQ(allocations_during([&] {
              for (int k = 0; k < 300; ++k)
                follower.step(k < 20 ? near : k < 200 ? far : std::optional<Mat4>());
            }),
            0);
}

}  // namespace
}  // namespace zandrel
