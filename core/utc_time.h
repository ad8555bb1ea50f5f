// A moment of the system clock as the logs and files show it, written and
// read back.
#ifndef CORVANE_CORE_UTC_TIME_H_
#define CORVANE_CORE_UTC_TIME_H_

#include <cstddef>
#include <cstdint>

namespace corvane {

// "2026-12-09T06:30:05Z" and its NUL.
const int kUtcTimeTextSize = 21;

// Writes `seconds` since 1970-01-01T00:00:00Z as an ISO 8601 UTC time to
// the second, e.g. "2026-12-09T06:30:05Z", into `text`. Times before 1970
// or after 9999 are written as the nearest of those two years' bounds.
void FormatUtcTime(std::int64_t seconds, char (&text)[kUtcTimeTextSize]);

// Reads `length` bytes of `text` written as FormatUtcTime writes them
// ("2026-12-09T06:30:05Z") into *seconds since 1970-01-01T00:00:00Z.
// Returns 1, or 0 for anything else (*seconds is then left alone).
int ParseUtcTime(const char* text, std::size_t length, std::int64_t* seconds);

// Days since 1970-01-01 (negative before) of a date of the proleptic
// Gregorian calendar; `month` is 1 to 12.
std::int64_t DaysFromCivil(int year, int month, int day);

}  // namespace corvane

#endif  // CORVANE_CORE_UTC_TIME_H_
