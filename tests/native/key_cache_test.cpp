// The per-process key cache: generations, and its size policy (the entry
// used longest ago goes when it is full).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "csp/key_cache.h"

namespace {

using emu::csp::KeyCache;
using emu::csp::LoadedKey;

std::shared_ptr<LoadedKey> key() {
  return std::make_shared<LoadedKey>();
}

TEST(KeyCache, AnotherGenerationMisses) {
  KeyCache cache(4);
  auto k = key();
  cache.remember("db", 1, 2, 100, k);
  EXPECT_EQ(cache.find("db", 1, 2, 100), k);
  EXPECT_EQ(cache.find("db", 1, 2, 101), nullptr) << "the key was stored again since";
  EXPECT_EQ(cache.find("db", 1, 1, 100), nullptr) << "another key spec";
  EXPECT_EQ(cache.find("other.db", 1, 2, 100), nullptr) << "another home";
  auto newer = key();
  cache.remember("db", 1, 2, 101, newer);
  EXPECT_EQ(cache.find("db", 1, 2, 101), newer);
  EXPECT_EQ(cache.find("db", 1, 2, 100), nullptr);
  EXPECT_EQ(cache.size(), 1u) << "a new generation replaces the slot's entry";
}

TEST(KeyCache, WhenFullTheEntryUsedLongestAgoGoes) {
  KeyCache cache(3);
  cache.remember("db", 1, 1, 1, key());
  cache.remember("db", 2, 1, 1, key());
  cache.remember("db", 3, 1, 1, key());
  // Container 1 is used again: container 2 is now the oldest.
  ASSERT_NE(cache.find("db", 1, 1, 1), nullptr);
  cache.remember("db", 4, 1, 1, key());
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_NE(cache.find("db", 1, 1, 1), nullptr);
  EXPECT_EQ(cache.find("db", 2, 1, 1), nullptr);
  EXPECT_NE(cache.find("db", 3, 1, 1), nullptr);
  EXPECT_NE(cache.find("db", 4, 1, 1), nullptr);
  // Replacing an entry that is there drops nothing else.
  cache.remember("db", 3, 1, 2, key());
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_NE(cache.find("db", 1, 1, 1), nullptr);
}

}  // namespace
