#include "views/update_watch.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/manual_queue.h"

namespace caskel {
namespace {

// Each row: the executable's stamps as read at start and at each tick (nullopt: unreadable),
// and whether each tick tells of an update.
TEST(UpdateWatch, TellsOfEveryTickThatSeesAnotherExecutable) {
  const fs::FileStamp built{100, 0, 10, 1};
  const fs::FileStamp touched{200, 0, 10, 1};
  const fs::FileStamp renamedIn{100, 0, 10, 2};
  using Stamp = std::optional<fs::FileStamp>;
  const struct {
    const char* what;
    std::vector<Stamp> stamps;
    std::vector<bool> told;
  } cases[] = {
      {"unchanged", {built, built, built}, {false, false}},
      {"touched, and again after Later", {built, touched, touched}, {true, true}},
      {"same time, another file", {built, renamedIn}, {true}},
      {"unreadable at a tick", {built, std::nullopt, touched}, {false, true}},
      {"unreadable at start: off", {std::nullopt, touched}, {}},
  };
  for (const auto& c : cases) {
    test::ManualQueue queue;
    size_t reads = 0;
    int told = 0;
    UpdateWatch watch(
        queue, std::chrono::seconds(30), [&] { return c.stamps.at(reads++); }, [&] { ++told; });
    watch.start();
    for (bool expected : c.told) {
      ASSERT_EQ(queue.delayed().size(), 1u) << c.what;
      EXPECT_EQ(queue.delayed()[0].delay, 30) << c.what;
      int before = told;
      queue.takeFirst()();
      EXPECT_EQ(told - before, expected ? 1 : 0) << c.what;
    }
    if (c.told.empty()) {
      EXPECT_TRUE(queue.pending().empty()) << c.what;
    }
  }
}

}  // namespace
}  // namespace caskel
