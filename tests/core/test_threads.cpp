// Real threads calling the real operations the way the binding does: every
// operation runs under the object's ModelLock, with its output buffer sized
// inside the lock. Built and run under ThreadSanitizer as well; the checks on
// results hold with or without it. Results are compared bit for bit with the
// same calls made serially on a private model.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <barrier>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "kinematics/model_lock.hpp"
#include "hexapod.hpp"
#include "zandrel/fatal.hpp"
#include "zandrel/forward.hpp"
#include "zandrel/inverse.hpp"
#include "zandrel/inverse_safe.hpp"

namespace zandrel {
namespace {

using Values = std::vector<double>;

// One Python object's worth of state: the lock in front of the model.
struct Shared {
  explicit Shared(Kinematics m) : model(std::move(m)) {}
  ModelLock lock;
  Kinematics model;
};

bool same_bits(std::span<const double> a, std::span<const double> b) {
  // Empty spans may have null data, which memcmp must never see.
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

Values values_of(const Mat4& m) { return Values(m.v.begin(), m.v.end()); }

// ---------------------------------------------------------------- operations
// Each mirrors one Python entry: take the lock, run, release, return a copy.

Values call_inverse(Shared& s, const Mat4& pose, std::optional<double> yaw) {
  Values out;
  s.lock.run(s.model, [&](const Kinematics& m) {
    out.resize(m.branches.size());
    inverse_kinematics(m, pose, yaw, out);
  });
  return out;
}

Values call_inverse_safe(Shared& s, const Mat4& pose, std::optional<double> yaw,
                         std::optional<double> max_relative_yaw,
                         std::optional<double> max_body_yaw) {
  Values out;
  s.lock.run(s.model, [&](const Kinematics& m) {
    out.resize(m.branches.size() + 1);
    out[0] = inverse_kinematics_safe(m, pose, yaw, max_relative_yaw, max_body_yaw,
                                     std::span<double>(out).subspan(1));
  });
  return out;
}

Values call_forward(Shared& s, const JointAngles& angles, std::optional<double> yaw) {
  return values_of(s.lock.run(
      s.model, [&](Kinematics& m) { return forward_kinematics(m, angles, yaw); }));
}

Values call_reset(Shared& s, const Mat4& pose) {
  s.lock.run(s.model, [&](Kinematics& m) { reset_forward_kinematics(m, pose); });
  return {};
}

Values call_add_branch(Shared& s, const Vec3& anchor, const Mat4& t_world_motor,
                       double solution) {
  s.lock.run(s.model, [&](Kinematics& m) { m.add_branch(anchor, t_world_motor, solution); });
  return {};
}

constexpr const char* kPoisoned = "<poisoned>";

// A call's result, or what ended it: a fatal error (its kind and message), or
// the poisoned lock (fatal is kPoisoned).
struct Outcome {
  Values values;
  std::string fatal;
  std::optional<FatalKind> kind;

  friend bool operator==(const Outcome& a, const Outcome& b) {
    return a.fatal == b.fatal && a.kind == b.kind && same_bits(a.values, b.values);
  }
};

Outcome attempt(const std::function<Values()>& call) {
  try {
    return {call(), "", std::nullopt};
  } catch (const FatalError& e) {
    return {{}, e.what(), e.kind()};
  } catch (const PoisonedModelError&) {
    return {{}, kPoisoned, std::nullopt};
  }
}

// Starts n threads together (so that they overlap rather than run one after
// another as they are created) and joins them.
void run_threads(int n, const std::function<void(int)>& body) {
  std::barrier start(n);
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(n));
  for (int t = 0; t < n; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      body(t);
    });
  for (auto& thread : threads) thread.join();
}

// Sorts poses by their bits so that two multisets can be compared.
std::vector<Values> sorted(std::vector<Values> poses) {
  std::sort(poses.begin(), poses.end(), [](const Values& a, const Values& b) {
    return std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) < 0;
  });
  return poses;
}

// Inverse-kinematics requests of both kinds, with and without yaw and limits.
struct Request {
  Mat4 pose;
  std::optional<double> yaw, max_relative_yaw, max_body_yaw;
};

std::vector<Request> requests() {
  std::vector<Request> out;
  const auto poses = test::sample_poses();
  for (size_t i = 0; i < poses.size(); ++i) {
    out.push_back({poses[i], std::nullopt, std::nullopt, std::nullopt});
    out.push_back({poses[i], 0.3 - 0.2 * static_cast<double>(i), 0.1, std::nullopt});
    out.push_back({poses[i], -0.4, std::nullopt, 0.25});
    out.push_back({poses[i], 1.5, 0.2, 0.3});
  }
  return out;
}

constexpr int kThreads = 6;

// ------------------------------------------------------------------- tests

TEST(Threads, ReadersAndForwardStepsOnOneModelMatchSerialCalls) {
  const std::vector<Request> reqs = requests();
  const Kinematics reference = test::make_hexapod();
  std::vector<Values> want_inverse, want_safe;
  for (const Request& r : reqs) {
    Values ik(6), safe(7);
    inverse_kinematics(reference, r.pose, r.yaw, ik);
    safe[0] = inverse_kinematics_safe(reference, r.pose, r.yaw, r.max_relative_yaw,
                                      r.max_body_yaw, std::span<double>(safe).subspan(1));
    want_inverse.push_back(ik);
    want_safe.push_back(safe);
  }

  // Every forward call makes one step from the pose the previous call left,
  // with the same angles; whichever thread makes the k-th call, it must get
  // the k-th pose of the serial sequence.
  constexpr int kRounds = 40;
  const JointAngles target = test::ik6(reference, test::sample_poses()[4]);
  std::vector<Values> want_forward;
  {
    Kinematics serial = test::make_hexapod();
    for (int k = 0; k < kThreads * kRounds; ++k)
      want_forward.push_back(values_of(forward_kinematics(serial, target, std::nullopt)));
  }
  ASSERT_FALSE(same_bits(want_forward.front(), want_forward.back()))
      << "the sequence should move, or the check below proves little";

  Shared shared(test::make_hexapod());
  std::atomic<int> wrong_inverse{0}, wrong_safe{0};
  std::vector<std::vector<Values>> got_forward(kThreads);
  run_threads(kThreads, [&](int t) {
    for (int i = 0; i < kRounds; ++i) {
      const size_t j = static_cast<size_t>(t * 7 + i) % reqs.size();
      const Request& r = reqs[j];
      if (!same_bits(call_inverse(shared, r.pose, r.yaw), want_inverse[j])) ++wrong_inverse;
      if (!same_bits(call_inverse_safe(shared, r.pose, r.yaw, r.max_relative_yaw, r.max_body_yaw),
                     want_safe[j]))
        ++wrong_safe;
      got_forward[static_cast<size_t>(t)].push_back(call_forward(shared, target, std::nullopt));
    }
  });

  EXPECT_EQ(wrong_inverse.load(), 0);
  EXPECT_EQ(wrong_safe.load(), 0);
  std::vector<Values> all_forward;
  for (const auto& per_thread : got_forward)
    all_forward.insert(all_forward.end(), per_thread.begin(), per_thread.end());
  EXPECT_EQ(sorted(all_forward), sorted(want_forward));
  EXPECT_TRUE(same_bits(values_of(shared.model.fk_pose), want_forward.back()));
  EXPECT_FALSE(shared.lock.poisoned());
}

TEST(Threads, ResetsAndForwardStepsInterleaveOnlyBetweenCalls) {
  // Forward threads step towards the pose `goal` whose angles they pass;
  // reset threads jump straight to `goal`, where a step changes nothing. A
  // step that saw a half-written pose, or a reset torn by a step, would give
  // a pose outside {serial steps from home} + {goal}.
  const Mat4 goal = test::sample_poses()[3];
  const Kinematics reference = test::make_hexapod();
  const JointAngles angles = test::ik6(reference, goal);
  constexpr int kRounds = 60;
  std::vector<Values> serial_steps;
  {
    Kinematics serial = test::make_hexapod();
    for (int k = 0; k < kThreads * kRounds; ++k)
      serial_steps.push_back(values_of(forward_kinematics(serial, angles, std::nullopt)));
    Kinematics at_goal = test::make_hexapod();
    reset_forward_kinematics(at_goal, goal);
    ASSERT_TRUE(same_bits(values_of(forward_kinematics(at_goal, angles, std::nullopt)),
                          values_of(goal)))
        << "goal must be a fixed point of the step";
  }
  const auto serial_index = [&](const Values& pose) -> int {
    for (size_t k = 0; k < serial_steps.size(); ++k)
      if (same_bits(pose, serial_steps[k])) return static_cast<int>(k);
    return -1;
  };

  Shared shared(test::make_hexapod());
  std::vector<std::vector<Values>> got(kThreads);
  run_threads(kThreads, [&](int t) {
    for (int i = 0; i < kRounds; ++i) {
      if (t % 3 == 2 && i % 10 == 9)
        call_reset(shared, goal);
      else
        got[static_cast<size_t>(t)].push_back(call_forward(shared, angles, std::nullopt));
    }
  });

  for (size_t t = 0; t < got.size(); ++t) {
    bool reached_goal = false;
    int last = -1;
    for (const Values& pose : got[t]) {
      if (same_bits(pose, values_of(goal))) {
        reached_goal = true;
        continue;
      }
      EXPECT_FALSE(reached_goal) << "thread " << t << " left the goal again";
      const int k = serial_index(pose);
      EXPECT_GE(k, 0) << "thread " << t << " got a pose no serial run produces";
      EXPECT_GE(k, last) << "thread " << t << " went back in the sequence";
      last = k;
    }
  }
  EXPECT_TRUE(same_bits(values_of(shared.model.fk_pose), values_of(goal)));
}

TEST(Threads, AppendsFromManyThreadsKeepEveryLegInEachThreadsOrder) {
  // Writers append legs while readers solve the growing model; every reader
  // sees a consistent prefix whose angles match those of the same legs alone.
  const auto legs = test::hexapod_legs();
  constexpr int kWriters = 3, kReaders = 3, kEach = 40;
  const auto leg_of = [&](int writer, int i) {
    test::Leg leg = legs[static_cast<size_t>(writer + i) % legs.size()];
    leg.anchor[2] = 1e-4 * (writer * kEach + i);  // tells every appended leg apart
    return leg;
  };
  const Mat4 pose = test::sample_poses()[1];
  const auto alone = [&](const test::Leg& leg) {
    Kinematics one(test::kHornLength, test::kRodLength);
    one.add_branch(leg.anchor, leg.t_world_motor, -1.0);
    double angle;
    inverse_kinematics(one, pose, 0.2, std::span<double>(&angle, 1));
    return angle;
  };

  Shared shared(Kinematics(test::kHornLength, test::kRodLength));
  std::atomic<int> mismatches{0}, writers_left{kWriters}, reads{0};
  run_threads(kWriters + kReaders, [&](int t) {
    if (t < kWriters) {
      for (int i = 0; i < kEach; ++i) {
        const test::Leg leg = leg_of(t, i);
        call_add_branch(shared, leg.anchor, leg.t_world_motor, -1.0);
      }
      --writers_left;
      return;
    }
    // Read while the writers run, and once more after the last one is done.
    for (bool last = false; !last;) {
      last = writers_left.load() == 0;
      Values angles;
      std::vector<test::Leg> seen;
      shared.lock.run(shared.model, [&](const Kinematics& m) {
        angles.resize(m.branches.size());
        inverse_kinematics(m, pose, 0.2, angles);
        for (const Branch& b : m.branches) seen.push_back({b.t_world_motor, b.branch_platform});
      });
      ++reads;
      for (size_t i = 0; i < angles.size(); ++i) {
        const double want = alone(seen[i]);
        if (!same_bits(std::span(&angles[i], 1), std::span(&want, 1))) ++mismatches;
      }
      if (last) {
        EXPECT_EQ(angles.size(), static_cast<size_t>(kWriters * kEach));
      }
    }
  });

  EXPECT_GE(reads.load(), kReaders);
  EXPECT_EQ(mismatches.load(), 0);
  ASSERT_EQ(shared.model.branches.size(), static_cast<size_t>(kWriters * kEach));
  std::array<int, kWriters> next{};
  for (const Branch& b : shared.model.branches) {
    const int id = static_cast<int>(std::lround(b.branch_platform[2] / 1e-4));
    const int writer = id / kEach, i = id % kEach;
    ASSERT_GE(writer, 0);
    ASSERT_LT(writer, kWriters);
    EXPECT_EQ(i, next[static_cast<size_t>(writer)]++) << "writer " << writer << " out of order";
    EXPECT_EQ(b.t_world_motor, leg_of(writer, i).t_world_motor);
  }
}

// How one thread ends a sound model: the calls that make the first fatal
// error (several threads may race to be the one that trips it), and the
// kinds that first error may be of.
struct Poisoner {
  const char* name;
  std::function<void(Shared&)> poison;
  std::vector<FatalKind> first_kinds;
};

std::vector<Poisoner> poisoners() {
  const Mat4 singular{};  // all zeros
  const auto leg = test::hexapod_legs()[0];
  return {
      {"negative_yaw_limit",
       [](Shared& s) { call_inverse_safe(s, Mat4::identity(), 0.1, -0.5, std::nullopt); },
       {FatalKind::invalid_yaw_limit}},
      {"singular_start_pose",
       // Other threads reset to home in between; retry until a forward call
       // (ours or another thread's) fails, which ends the loop by throwing.
       [singular](Shared& s) {
         for (;;) {
           call_reset(s, singular);
           call_forward(s, JointAngles{}, std::nullopt);
         }
       },
       {FatalKind::singular_matrix}},
      {"singular_motor_pose",
       [singular, leg](Shared& s) {
         call_add_branch(s, leg.anchor, singular, -1.0);
         call_inverse(s, Mat4::identity(), std::nullopt);
       },
       // The other threads' forward calls see seven legs first, perhaps.
       {FatalKind::singular_matrix, FatalKind::leg_count}},
      {"seventh_leg",
       [leg](Shared& s) {
         call_add_branch(s, leg.anchor, leg.t_world_motor, -1.0);
         call_forward(s, JointAngles{}, std::nullopt);
       },
       {FatalKind::leg_count}},
  };
}

class PoisonUnderLoad : public ::testing::TestWithParam<Poisoner> {};

TEST_P(PoisonUnderLoad, FirstFatalErrorPoisonsTheModelForEveryThread) {
  const Poisoner& poisoner = GetParam();
  const Mat4 home = Mat4::identity();
  const Kinematics reference = test::make_hexapod();
  const JointAngles home_angles = test::ik6(reference, home);
  const auto leg = test::hexapod_legs()[2];

  // Every method, each with arguments that succeed on a sound six-leg model
  // at home (reset and forward there keep fk_pose at home).
  const std::vector<std::function<Values(Shared&)>> calls = {
      [&](Shared& s) { return call_inverse(s, home, 0.1); },
      [&](Shared& s) { return call_inverse_safe(s, home, 0.1, 0.2, 0.3); },
      [&](Shared& s) { return call_forward(s, home_angles, std::nullopt); },
      [&](Shared& s) { return call_reset(s, home); },
  };

  Shared shared(test::make_hexapod());
  constexpr int kRounds = 30, kPoisonAt = 10;
  std::vector<std::vector<Outcome>> outcomes(kThreads);
  run_threads(kThreads, [&](int t) {
    auto& mine = outcomes[static_cast<size_t>(t)];
    for (int i = 0; i < kRounds; ++i) {
      if (t == 0 && i == kPoisonAt) mine.push_back(attempt([&] {
        poisoner.poison(shared);
        return Values{};
      }));
      for (const auto& call : calls) mine.push_back(attempt([&] { return call(shared); }));
    }
  });

  int first_errors = 0;
  for (size_t t = 0; t < outcomes.size(); ++t) {
    bool poisoned = false;
    for (const Outcome& o : outcomes[t]) {
      if (o.fatal == kPoisoned) {
        poisoned = true;
      } else if (o.kind) {
        ++first_errors;
        EXPECT_NE(std::find(poisoner.first_kinds.begin(), poisoner.first_kinds.end(), *o.kind),
                  poisoner.first_kinds.end())
            << o.fatal;
        poisoned = true;  // this thread saw the poisoning error itself
      } else {
        EXPECT_FALSE(poisoned) << "thread " << t << " succeeded after seeing the lock poisoned";
      }
    }
  }
  EXPECT_EQ(first_errors, 1);
  EXPECT_TRUE(shared.lock.poisoned());

  // Afterwards every method is rejected and nothing reaches the model.
  const size_t legs_before = shared.model.branches.size();
  const Mat4 pose_before = shared.model.fk_pose;
  std::vector<std::function<Values(Shared&)>> every = calls;
  every.push_back(
      [&](Shared& s) { return call_add_branch(s, leg.anchor, leg.t_world_motor, -1.0); });
  every.push_back([&](Shared& s) { return call_reset(s, test::sample_poses()[2]); });
  std::atomic<int> rejected{0};
  run_threads(kThreads, [&](int) {
    for (const auto& call : every)
      if (attempt([&] { return call(shared); }).fatal == kPoisoned) ++rejected;
  });
  EXPECT_EQ(rejected.load(), kThreads * static_cast<int>(every.size()));
  EXPECT_EQ(shared.model.branches.size(), legs_before);
  EXPECT_EQ(shared.model.fk_pose, pose_before);
}

INSTANTIATE_TEST_SUITE_P(Threads, PoisonUnderLoad, ::testing::ValuesIn(poisoners()),
                         [](const auto& info) { return std::string(info.param.name); });

// One object's whole life: legs, solves of every kind, forward steps, a
// reset, a fatal error and the rejected calls after it. `variant` shifts
// the poses so that different threads do different work.
std::vector<Outcome> life_of_one_object(int variant) {
  Shared s(Kinematics(test::kHornLength, test::kRodLength));
  std::vector<Outcome> out;
  const auto record = [&](const std::function<Values()>& call) { out.push_back(attempt(call)); };
  const double d = 0.001 * variant;
  const Mat4 pose = test::rigid_pose(d, -d, 0.5 * d, 0.05 * variant, -0.02, 0.03);
  for (const test::Leg& leg : test::hexapod_legs())
    record([&] { return call_add_branch(s, leg.anchor, leg.t_world_motor, -1.0); });
  record([&] { return call_inverse(s, pose, std::nullopt); });
  record([&] { return call_inverse(s, pose, 0.1 * variant); });
  record([&] { return call_inverse_safe(s, pose, 0.7, 0.1, 0.5); });
  const JointAngles angles = test::ik6(test::make_hexapod(), pose);
  for (int k = 0; k < 4; ++k) record([&] { return call_forward(s, angles, 0.2); });
  record([&] { return call_reset(s, test::sample_poses()[2]); });
  for (int k = 0; k < 3; ++k) record([&] { return call_forward(s, angles, std::nullopt); });
  record([&] { return call_inverse_safe(s, pose, 0.7, std::nullopt, -1.0 * variant - 1.0); });
  record([&] { return call_inverse(s, pose, std::nullopt); });
  record([&] { return call_forward(s, angles, std::nullopt); });
  record([&] { return call_add_branch(s, {0, 0, 0}, Mat4::identity(), 1.0); });
  return out;
}

TEST(Threads, SeparateModelsLiveTheirLivesAsIfAlone) {
  constexpr int kVariants = 3, kRepeats = 4;
  std::vector<std::vector<Outcome>> want;
  for (int v = 0; v < kVariants; ++v) want.push_back(life_of_one_object(v));
  ASSERT_EQ(want[0].back().fatal, kPoisoned) << "the life must end poisoned";
  ASSERT_FALSE(want[0] == want[1]) << "variants should differ";

  std::atomic<int> differing{0};
  run_threads(kThreads, [&](int t) {
    for (int r = 0; r < kRepeats; ++r)
      if (!(life_of_one_object(t % kVariants) == want[static_cast<size_t>(t % kVariants)]))
        ++differing;
  });
  EXPECT_EQ(differing.load(), 0);
}

}  // namespace
}  // namespace zandrel
