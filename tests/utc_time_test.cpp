#include "core/utc_time.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace corvane {
namespace {

TEST(UtcTime, WritesTheCalendarDateAcrossLeapYearsAndClampsTheRange) {
  struct Case {
    std::int64_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00Z"},          {-5, "1970-01-01T00:00:00Z"},
      {951782400, "2000-02-29T00:00:00Z"},   // a leap day of a century divisible by 400
      {1709251199, "2024-02-29T23:59:59Z"},  // the last second of a leap day
      {1796797805, "2026-12-09T06:30:05Z"}, {4107542399, "2100-02-28T23:59:59Z"},  // 2100 has no leap day
      {4107542400, "2100-03-01T00:00:00Z"}, {253402300799, "9999-12-31T23:59:59Z"},
      {INT64_MAX, "9999-12-31T23:59:59Z"},
  };
  for (const Case& c : cases) {
    char text[kUtcTimeTextSize];
    FormatUtcTime(c.seconds, text);
    EXPECT_EQ(std::string(c.text), text) << c.seconds;
    std::int64_t back = -1;
    ASSERT_EQ(1, ParseUtcTime(c.text, std::strlen(c.text), &back)) << c.text;
    if (c.seconds >= 0 && c.seconds <= 253402300799) {
      EXPECT_EQ(c.seconds, back) << c.text;
    }
  }
  for (const char* wrong : {"2026-12-09 06:30:05Z", "2026-13-09T06:30:05Z", "2026-12-09T24:00:00Z",
                            "2026-12-09T06:30:05", "+026-12-09T06:30:05Z", "2026-12-09T06:30:05ZZ"}) {
    std::int64_t seconds = 7;
    EXPECT_EQ(0, ParseUtcTime(wrong, std::strlen(wrong), &seconds)) << wrong;
    EXPECT_EQ(7, seconds) << wrong;
  }
}

}  // namespace
}  // namespace corvane
