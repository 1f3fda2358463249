// Handles made by many threads at once: each names its own object from any
// thread, none is given twice, a released one stays invalid, and a table
// refuses handles of another kind.
#include "common/handle_table.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace {

struct Thing {
  int thread;
  int index;
};

using Things = emu::HandleTable<Thing, emu::HandleKind::Key>;
using OtherKind = emu::HandleTable<Thing, emu::HandleKind::Hash>;

// Runs `body(t)` on `n` threads at once and waits for them.
template <typename F>
void onThreads(int n, F body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
  for (auto &th : threads) th.join();
}

TEST(HandleTable, HandlesOfManyThreadsAreDistinctAndWorkFromEveryThread) {
  // More threads than the table has shards: some share one.
  const int kThreads = static_cast<int>(Things::kShards) * 2 + 3;
  constexpr int kEach = 300;
  std::vector<std::vector<uintptr_t>> made(kThreads);
  onThreads(kThreads, [&](int t) {
    for (int i = 0; i < kEach; ++i)
      made[t].push_back(Things::instance().add(std::make_shared<Thing>(Thing{t, i})));
  });

  std::set<uintptr_t> all;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      const uintptr_t h = made[t][i];
      EXPECT_TRUE(all.insert(h).second) << "handle given twice: " << h;
      // Found from this (another) thread, and it is the object that was added.
      const auto obj = Things::instance().get(h);
      ASSERT_NE(obj, nullptr) << "thread " << t << " handle " << i;
      EXPECT_EQ(obj->thread, t);
      EXPECT_EQ(obj->index, i);
      EXPECT_EQ(OtherKind::instance().get(h), nullptr) << "another kind's table took it";
    }
  }

  // Every thread releases the handles another thread made.
  onThreads(kThreads, [&](int t) {
    for (uintptr_t h : made[(t + 1) % kThreads]) {
      const auto obj = Things::instance().remove(h);
      EXPECT_TRUE(obj != nullptr && obj->thread == (t + 1) % kThreads);
    }
  });
  for (uintptr_t h : all) {
    EXPECT_EQ(Things::instance().get(h), nullptr);
    EXPECT_EQ(Things::instance().remove(h), nullptr);
  }

  // New handles never repeat a released one.
  onThreads(kThreads, [&](int) {
    for (int i = 0; i < 50; ++i) {
      const uintptr_t h = Things::instance().add(std::make_shared<Thing>(Thing{-1, i}));
      EXPECT_EQ(all.count(h), 0u) << "a released handle was given again";
      Things::instance().remove(h);
    }
  });
}

}  // namespace
