#include "core/utc_time.h"

#include <cstdio>

#include "core/bounded_text.h"

namespace corvane {
namespace {

const std::int64_t kSecondsPerDay = 86400;
// 9999-12-31T23:59:59Z, the last moment four year digits can show.
const std::int64_t kLastSecond = 253402300799LL;

// The civil date of `days` since 1970-01-01 in the proleptic Gregorian
// calendar (days from civil, run backwards, over 400-year eras).
void CivilDate(std::int64_t days, int* year, int* month, int* day) {
  days += 719468;  // from 0000-03-01, so that leap days end each year
  const std::int64_t era = days / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear =
      dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  *day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  *month =
      static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

}  // namespace

void FormatUtcTime(std::int64_t seconds, char (&text)[kUtcTimeTextSize]) {
  if (seconds < 0) seconds = 0;
  if (seconds > kLastSecond) seconds = kLastSecond;
  const std::int64_t days = seconds / kSecondsPerDay;
  const int secondOfDay = static_cast<int>(seconds % kSecondsPerDay);
  int year = 0;
  int month = 0;
  int day = 0;
  CivilDate(days, &year, &month, &day);
  // The fields are in range, but the compiler cannot tell: format into room
  // for any int, then keep the 20 characters.
  char wide[64];
  std::snprintf(wide, sizeof(wide), "%04d-%02d-%02dT%02d:%02d:%02dZ", year,
                month, day, secondOfDay / 3600, secondOfDay / 60 % 60,
                secondOfDay % 60);
  CopyText(text, wide);
}

}  // namespace corvane
