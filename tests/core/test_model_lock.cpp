#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kinematics/model_lock.hpp"
#include "zandrel/model.hpp"

namespace zandrel {
namespace {

struct Guarded {
  ModelLock lock;
  Kinematics model{0.04, 0.085};
};

// Appends under the lock, reading the count first and writing it back after a
// yield, so that any missing exclusion shows up as lost or torn updates.
void append_counted(Guarded& g, int times) {
  for (int i = 0; i < times; ++i) {
    g.lock.run(g.model, [](Kinematics& m) {
      const double before = m.fk_pose(0, 3);
      std::this_thread::yield();
      m.fk_pose(0, 3) = before + 1.0;
      m.add_branch({before, 0.0, 0.0}, Mat4::identity(), 1.0);
    });
  }
}

TEST(ModelLock, SerialisesThreadsOnOneModel) {
  Guarded g;
  constexpr int kThreads = 8, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(append_counted, std::ref(g), kEach);
  for (auto& t : threads) t.join();
  EXPECT_EQ(g.model.fk_pose(0, 3), kThreads * kEach);
  ASSERT_EQ(g.model.branches.size(), static_cast<size_t>(kThreads * kEach));
  for (size_t i = 0; i < g.model.branches.size(); ++i)
    EXPECT_EQ(g.model.branches[i].branch_platform[0], static_cast<double>(i));
}

TEST(ModelLock, SeparateModelsDoNotInterfere) {
  std::vector<Guarded> models(4);
  std::vector<std::thread> threads;
  for (auto& g : models) threads.emplace_back(append_counted, std::ref(g), 300);
  for (auto& t : threads) t.join();
  for (const auto& g : models) EXPECT_EQ(g.model.branches.size(), 300u);
}

TEST(ModelLock, AFailurePoisonsForEveryLaterCaller) {
  Guarded g;
  EXPECT_THROW(g.lock.run(g.model, [](Kinematics&) { throw std::runtime_error("boom"); }),
               std::runtime_error);
  EXPECT_TRUE(g.lock.poisoned());

  std::atomic<int> rejected{0}, ran{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        try {
          g.lock.run(g.model, [&](Kinematics& m) {
            ++ran;
            m.add_branch({0, 0, 0}, Mat4::identity(), 1.0);
          });
        } catch (const PoisonedModelError&) {
          ++rejected;
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(rejected.load(), 400);
  EXPECT_TRUE(g.model.branches.empty());
}

TEST(ModelLock, PoisonsWhenAFailureRacesOtherCallers) {
  // One thread fails midway while others hammer the same model: afterwards
  // the lock is poisoned, and nothing ran after the failure was recorded.
  Guarded g;
  std::atomic<bool> failed{false};
  std::atomic<int> after_failure{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        try {
          g.lock.run(g.model, [&](Kinematics& m) {
            if (failed.load()) ++after_failure;
            if (t == 0 && i == 50) {
              failed = true;
              throw std::runtime_error("leg count");
            }
            m.add_branch({0, 0, 0}, Mat4::identity(), 1.0);
          });
        } catch (const std::runtime_error&) {
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_TRUE(g.lock.poisoned());
  EXPECT_EQ(after_failure.load(), 0);
}

TEST(ModelLock, ReturnsTheOperationsResultAndStaysSound) {
  Guarded g;
  const size_t n = g.lock.run(g.model, [](Kinematics& m) { return m.branches.size() + 7; });
  EXPECT_EQ(n, 7u);
  EXPECT_FALSE(g.lock.poisoned());
}

}  // namespace
}  // namespace zandrel
