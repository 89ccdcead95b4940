#include "base/civil_date.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

TEST(CivilDate, OnlyRealDaysInTheOneForm) {
  for (const char* valid : {"2026-03-31", "2024-02-29", "2000-02-29", "0001-01-01", "9999-12-31"}) {
    EXPECT_TRUE(parseCivilDate(valid)) << valid;
  }
  for (const char* refused :
       {"2026-02-29", "1900-02-29", "2026-02-30", "2026-04-31", "2026-13-01", "2026-00-10", "2026-01-00",
        "0000-01-01", "31/03/2026", "2026-3-31", "2026-03-31 ", "+026-03-31", "2026-03-3a", ""}) {
    EXPECT_FALSE(parseCivilDate(refused)) << refused;
  }
  const auto date = parseCivilDate("2026-03-09").value();
  EXPECT_EQ(date.year, 2026);
  EXPECT_EQ(date.month, 3);
  EXPECT_EQ(date.day, 9);
}

}  // namespace
}  // namespace caskel
