// TSystemList: growth, bounds errors, null-filled growth and the sort.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "tabula/file_session.h"
#include "engine/system_list.h"
#include "framework/core/exceptions.h"

using namespace tabula;

namespace {

void* P(intptr_t v) { return reinterpret_cast<void*>(v); }
intptr_t V(void* p) { return reinterpret_cast<intptr_t>(p); }

TEST(SystemListTest, GrowsByFourSixteenThenAQuarter) {
  TSystemList list;
  std::vector<int32_t> capacities;
  for (int i = 0; i < 96; ++i) {
    int32_t before = list.Capacity;
    list.Add(P(i + 1));
    if (list.Capacity != before) capacities.push_back(list.Capacity);
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95, 118}));
  EXPECT_EQ(list.Count, 96);
  EXPECT_EQ(V(list.Get(95)), 96);
}

TEST(SystemListTest, BoundsRaiseTheListErrors) {
  TSystemList list;
  list.Add(P(1));
  struct Case {
    std::function<void()> action;
    const char* message;
  };
  for (const Case& c : {
           Case{[&] { list.Get(1); }, "List index out of bounds (1)"},
           Case{[&] { list.Get(-1); }, "List index out of bounds (-1)"},
           Case{[&] { list.Put(5, nullptr); }, "List index out of bounds (5)"},
           Case{[&] { list.Delete(1); }, "List index out of bounds (1)"},
           Case{[&] { list.Insert(2, nullptr); }, "List index out of bounds (2)"},
           Case{[&] { list.Exchange(0, 3); }, "List index out of bounds (3)"},
           Case{[&] { list.SetCapacity(262141); }, "List capacity out of bounds (262141)"},
           Case{[&] { list.SetCapacity(0); }, "List capacity out of bounds (0)"},
           Case{[&] { list.SetCount(262141); }, "List count out of bounds (262141)"},
           Case{[&] { list.SetCount(-1); }, "List count out of bounds (-1)"},
       }) {
    try {
      c.action();
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const fw::EListError& e) {
      EXPECT_EQ(e.Message, c.message);
    }
  }
  list.SetCapacity(kMaxListSize);
  list.SetCount(kMaxListSize);
  EXPECT_EQ(list.Count, 262140);
  try {
    list.Add(nullptr);
    ADD_FAILURE();
  } catch (const fw::EListError& e) {
    EXPECT_EQ(e.Message, "List capacity out of bounds (327675)");
  }
}

TEST(SystemListTest, NewSlotsAreNull) {
  TSystemList list;
  for (int i = 1; i <= 10; ++i) list.Add(P(i));
  list.SetCount(3);
  list.SetCount(10);
  for (int i = 3; i < 10; ++i) EXPECT_EQ(list.Get(i), nullptr) << i;
  list.SetCapacity(200);
  for (int i = 10; i < 200; ++i) EXPECT_EQ(list.Items[i], nullptr) << i;
  list.Insert(0, P(42));
  list.Delete(1);
  EXPECT_EQ(V(list.First()), 42);
  EXPECT_EQ(list.Remove(P(42)), 0);
  EXPECT_EQ(list.Remove(P(42)), -1);
  EXPECT_EQ(list.Count, 9);
  list.Clear();
  EXPECT_EQ(list.Capacity, 0);
  EXPECT_EQ(list.Items, nullptr);
}

TEST(SystemListTest, SortOrdersLikeTheStandardSort) {
  std::mt19937 random(7);
  auto byValue = [](void* a, void* b) { return V(a) < V(b) ? -1 : V(a) > V(b) ? 1 : 0; };
  for (int size : {0, 1, 2, 3, 17, 1000, 5000}) {
    for (int range : {3, 1000000}) {  // many duplicates, and few
      SCOPED_TRACE(testing::Message() << size << " items in 0.." << range);
      TSystemList list;
      std::vector<intptr_t> expected;
      for (int i = 0; i < size; ++i) {
        intptr_t v = static_cast<intptr_t>(random() % static_cast<unsigned>(range));
        list.Add(P(v));
        expected.push_back(v);
      }
      list.Sort(byValue);
      std::sort(expected.begin(), expected.end());
      std::vector<intptr_t> got;
      for (int i = 0; i < list.Count; ++i) got.push_back(V(list.Items[i]));
      EXPECT_EQ(got, expected);
    }
  }
  // Sorted and reversed runs keep the recursion shallow; a compare that
  // always says "less" or "greater" must not run off the array.
  TSystemList list;
  for (int i = 0; i < 100000; ++i) list.Add(P(100000 - i));
  list.Sort(byValue);
  EXPECT_EQ(V(list.First()), 1);
  EXPECT_EQ(V(list.Last()), 100000);
  list.SetCount(2000);
  list.Sort([](void*, void*) { return -1; });
  list.Sort([](void*, void*) { return 1; });
  EXPECT_EQ(list.Count, 2000);
}

}  // namespace
