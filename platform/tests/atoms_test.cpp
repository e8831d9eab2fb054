#include "platform/atoms.h"

#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The atom table is process-wide: every test deletes what it added, so that the table is empty
// when the next one starts (the fill test counts on it).
namespace {

std::string NameOf(ATOM atom) {
  char buf[256];
  UINT n = platform::GlobalGetAtomNameA(atom, buf, sizeof buf);
  return std::string(buf, n);
}

TEST(AtomsTest, AddFindNameAndReferenceCounts) {
  ATOM a = platform::GlobalAddAtomA("Alpha");
  ASSERT_NE(a, 0);
  EXPECT_GE(a, 0xC000);
  EXPECT_EQ(platform::GlobalFindAtomA("Alpha"), a);
  EXPECT_EQ(NameOf(a), "Alpha");

  EXPECT_EQ(platform::GlobalAddAtomA("Alpha"), a);  // second reference, same handle
  EXPECT_EQ(platform::GlobalDeleteAtom(a), 0);
  EXPECT_EQ(platform::GlobalFindAtomA("Alpha"), a);  // one reference left
  EXPECT_EQ(platform::GlobalDeleteAtom(a), 0);
  EXPECT_EQ(platform::GlobalFindAtomA("Alpha"), 0);

  // Unknown atoms: delete hands the atom back, the name comes back empty.
  EXPECT_EQ(platform::GlobalDeleteAtom(a), a);
  char buf[8] = "garbage";
  EXPECT_EQ(platform::GlobalGetAtomNameA(a, buf, sizeof buf), 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(platform::GlobalDeleteAtom(0xBFFF), 0xBFFF);
  EXPECT_EQ(platform::GlobalGetAtomNameA(0xBFFF, buf, sizeof buf), 0u);
}

TEST(AtomsTest, NamesAreByteExact) {
  ATOM upper = platform::GlobalAddAtomA("Abc");
  ATOM lower = platform::GlobalAddAtomA("abc");
  ATOM spaced = platform::GlobalAddAtomA("abc ");
  ATOM gbk = platform::GlobalAddAtomA("\xD0\xC2\xBD\xA8");  // 新建
  ASSERT_NE(upper, 0);
  ASSERT_NE(lower, 0);
  EXPECT_NE(upper, lower);
  EXPECT_NE(lower, spaced);
  EXPECT_EQ(platform::GlobalFindAtomA("ABC"), 0);
  EXPECT_EQ(NameOf(upper), "Abc");
  EXPECT_EQ(NameOf(lower), "abc");
  EXPECT_EQ(NameOf(gbk), "\xD0\xC2\xBD\xA8");
  for (ATOM a : {upper, lower, spaced, gbk})
    EXPECT_EQ(platform::GlobalDeleteAtom(a), 0);
}

TEST(AtomsTest, RefusesEmptyNullAndOverlongNames) {
  std::string longest(255, 'x');
  ATOM a = platform::GlobalAddAtomA(longest.c_str());
  ASSERT_NE(a, 0);
  EXPECT_EQ(NameOf(a), longest);

  std::string tooLong(256, 'y');
  EXPECT_EQ(platform::GlobalAddAtomA(tooLong.c_str()), 0);
  EXPECT_EQ(platform::GlobalFindAtomA((longest + "x").c_str()),
            0);  // not matched by its 255-byte prefix
  EXPECT_EQ(platform::GlobalAddAtomA(""), 0);
  EXPECT_EQ(platform::GlobalAddAtomA(nullptr), 0);
  EXPECT_EQ(platform::GlobalFindAtomA(""), 0);
  EXPECT_EQ(platform::GlobalFindAtomA(nullptr), 0);
  EXPECT_EQ(platform::GlobalDeleteAtom(a), 0);
}

TEST(AtomsTest, GetNameCutsToTheBuffer) {
  ATOM a = platform::GlobalAddAtomA("abcdef");
  char buf[8];
  std::memset(buf, 'Z', sizeof buf);
  EXPECT_EQ(platform::GlobalGetAtomNameA(a, buf, 4), 3u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(buf[4], 'Z');  // nothing written beyond the given size

  EXPECT_EQ(platform::GlobalGetAtomNameA(a, buf, 1), 0u);
  EXPECT_EQ(buf[0], '\0');
  buf[0] = 'Z';
  EXPECT_EQ(platform::GlobalGetAtomNameA(a, buf, 0), 0u);
  EXPECT_EQ(platform::GlobalGetAtomNameA(a, buf, -5), 0u);
  EXPECT_EQ(buf[0], 'Z');
  EXPECT_EQ(platform::GlobalGetAtomNameA(a, nullptr, 8), 0u);

  // A double-byte character is left out whole rather than split.
  ATOM g = platform::GlobalAddAtomA("\xD0\xC2\xBD\xA8\xC9\xE8");  // 新建设
  EXPECT_EQ(platform::GlobalGetAtomNameA(g, buf, 4), 2u);
  EXPECT_STREQ(buf, "\xD0\xC2");
  EXPECT_EQ(platform::GlobalGetAtomNameA(g, buf, 5), 4u);
  EXPECT_EQ(platform::GlobalDeleteAtom(a), 0);
  EXPECT_EQ(platform::GlobalDeleteAtom(g), 0);
}

TEST(AtomsTest, TableHoldsExactly16384Atoms) {
  std::vector<ATOM> atoms;
  std::set<ATOM> distinct;
  for (int i = 0; i < 16384; ++i) {
    ATOM a = platform::GlobalAddAtomA(("fill" + std::to_string(i)).c_str());
    ASSERT_NE(a, 0) << "table full after " << i;
    atoms.push_back(a);
    distinct.insert(a);
  }
  EXPECT_EQ(distinct.size(), 16384u);
  EXPECT_EQ(*distinct.begin(), 0xC000);
  EXPECT_EQ(*distinct.rbegin(), 0xFFFF);

  EXPECT_EQ(platform::GlobalAddAtomA("one too many"), 0);
  EXPECT_EQ(platform::GlobalAddAtomA("fill7"), atoms[7]);  // a new reference needs no slot
  EXPECT_EQ(platform::GlobalDeleteAtom(atoms[7]), 0);

  EXPECT_EQ(platform::GlobalDeleteAtom(atoms[100]), 0);
  ATOM reused = platform::GlobalAddAtomA("one too many");
  EXPECT_EQ(reused, atoms[100]);  // the only free slot
  EXPECT_EQ(NameOf(reused), "one too many");
  EXPECT_EQ(platform::GlobalFindAtomA("fill100"), 0);
  atoms[100] = reused;

  for (ATOM a : atoms)
    ASSERT_EQ(platform::GlobalDeleteAtom(a), 0);
  EXPECT_EQ(platform::GlobalFindAtomA("fill0"), 0);
}

TEST(AtomsTest, FreedHandleIsNotReissuedAtOnce) {
  ATOM first = platform::GlobalAddAtomA("first");
  EXPECT_EQ(platform::GlobalDeleteAtom(first), 0);
  ATOM second = platform::GlobalAddAtomA("second");
  EXPECT_NE(second, first);  // a stale `first` does not name "second"
  EXPECT_EQ(NameOf(first), "");
  EXPECT_EQ(platform::GlobalDeleteAtom(second), 0);
}

TEST(AtomsTest, ConcurrentAddsAgreeOnOneAtomPerName) {
  constexpr int kThreads = 8;
  constexpr int kNames = 300;
  std::vector<std::vector<ATOM>> seen(kThreads, std::vector<ATOM>(kNames));
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen, &start] {
      start.arrive_and_wait();
      for (int i = 0; i < kNames; ++i) {
        // Threads walk the names in different orders to collide on first insertion.
        int n = (t % 2 == 0) ? i : kNames - 1 - i;
        std::string name = "shared" + std::to_string(n);
        ATOM a = platform::GlobalAddAtomA(name.c_str());
        if (platform::GlobalFindAtomA(name.c_str()) != a)
          a = 0;
        seen[t][n] = a;
      }
    });
  }
  for (auto& th : threads)
    th.join();

  for (int i = 0; i < kNames; ++i) {
    ASSERT_NE(seen[0][i], 0);
    for (int t = 1; t < kThreads; ++t)
      ASSERT_EQ(seen[t][i], seen[0][i]) << "name " << i;
  }
  // Every thread's add counted: the atom survives kThreads - 1 deletions, not one more.
  for (int i = 0; i < kNames; ++i) {
    for (int t = 0; t < kThreads - 1; ++t)
      ASSERT_EQ(platform::GlobalDeleteAtom(seen[0][i]), 0);
    ASSERT_NE(platform::GlobalFindAtomA(("shared" + std::to_string(i)).c_str()), 0);
    ASSERT_EQ(platform::GlobalDeleteAtom(seen[0][i]), 0);
    ASSERT_EQ(platform::GlobalFindAtomA(("shared" + std::to_string(i)).c_str()), 0);
  }
}

}  // namespace
