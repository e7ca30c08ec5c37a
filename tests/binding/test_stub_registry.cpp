#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "binding/stub_info.hpp"

namespace zandrel::stub {
namespace {

TEST(StubRegistry, LoadingRegistersOneRecordOfEachKind) {
  // This test program links the records itself: its load ran the constructors.
  ASSERT_EQ(registry_size(class_registry), 1u);
  ASSERT_EQ(registry_size(methods_registry), 1u);
  const ClassRecord* c = class_registry.load();
  const MethodsRecord* m = methods_registry.load();
  EXPECT_STREQ(c->name, "ZandrelRustKinematics");
  EXPECT_EQ(c->module, nullptr);
  EXPECT_EQ(c->type_id, m->type_id);
  std::vector<std::string> names;
  for (const MethodRecord& r : m->methods) names.push_back(r.name);
  EXPECT_EQ(names, (std::vector<std::string>{"__new__", "add_branch", "inverse_kinematics",
                                             "reset_forward_kinematics", "forward_kinematics",
                                             "inverse_kinematics_safe"}));
}

TEST(StubRegistry, EachDefaultHasItsOwnOnceInitialisedText) {
  std::vector<const std::string*> cells;
  for (const MethodRecord& m : methods_registry.load()->methods)
    for (const ParameterRecord& p : m.parameters)
      if (p.entry == SignatureEntry::with_default) {
        EXPECT_EQ(p.default_text(), "None");
        EXPECT_EQ(&p.default_text(), &p.default_text());  // built once, then kept
        cells.push_back(&p.default_text());
      }
  ASSERT_EQ(cells.size(), 5u);
  for (size_t i = 0; i < cells.size(); ++i)
    for (size_t j = i + 1; j < cells.size(); ++j) EXPECT_NE(cells[i], cells[j]);
}

TEST(StubRegistry, ConcurrentPushesLoseNothing) {
  std::atomic<ClassRecord*> head{nullptr};
  constexpr int kThreads = 4, kEach = 1000;
  std::vector<ClassRecord> records(kThreads * kEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) push(head, &records[t * kEach + i]);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(registry_size(head), records.size());
}

using Count = std::size_t (*)(int);

TEST(StubRegistry, ALibraryLoadedTwiceRegistersOnce) {
  void* first = dlopen(ZANDREL_STUB_PROBE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(first, nullptr) << dlerror();
  void* second = dlopen(ZANDREL_STUB_PROBE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_EQ(first, second);
  auto count = reinterpret_cast<Count>(dlsym(second, "zandrel_stub_probe_count"));
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count(0), 1u);
  EXPECT_EQ(count(1), 1u);
  dlclose(second);
  dlclose(first);
}

}  // namespace
}  // namespace zandrel::stub
