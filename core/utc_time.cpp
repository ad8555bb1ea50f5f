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

// Reads `count` decimal digits at `text` into *value.
bool ReadDigits(const char* text, int count, int* value) {
  *value = 0;
  for (int i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *value = *value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

std::int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear =
      (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra =
      yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

int ParseUtcTime(const char* text, std::size_t length, std::int64_t* seconds) {
  if (length != kUtcTimeTextSize - 1) return 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!ReadDigits(text, 4, &year) || text[4] != '-' ||
      !ReadDigits(text + 5, 2, &month) || text[7] != '-' ||
      !ReadDigits(text + 8, 2, &day) || text[10] != 'T' ||
      !ReadDigits(text + 11, 2, &hour) || text[13] != ':' ||
      !ReadDigits(text + 14, 2, &minute) || text[16] != ':' ||
      !ReadDigits(text + 17, 2, &second) || text[19] != 'Z') {
    return 0;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 60) {
    return 0;
  }
  const std::int64_t secondOfDay =
      (static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second;
  *seconds = DaysFromCivil(year, month, day) * kSecondsPerDay + secondOfDay;
  return 1;
}

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
