// The test builds' scaling of the pauses and bounds of platform/settings.h.
// Only the platform library's sources see this header (its private include
// folder): what the rest of the program knows is the shipped values.
#ifndef CORVANE_PLATFORM_PRIVATE_SCALED_TIMINGS_H_
#define CORVANE_PLATFORM_PRIVATE_SCALED_TIMINGS_H_

namespace corvane {

// The end-to-end tests' builds of the programs define CORVANE_TEST_TIMINGS:
// the platform divides every pause, the connect bound and the keep-alive
// times by 50, so a run of minutes takes seconds. The shipped programs use
// the values of platform/settings.h as they are.
#ifdef CORVANE_TEST_TIMINGS
const unsigned kPauseDivisor = 50;
#else
const unsigned kPauseDivisor = 1;
#endif

// The two helpers below are static: the shipped and the test platform
// libraries compile them with different divisors, and each keeps its own.

// Returns `milliseconds` as the build waits them: divided by kPauseDivisor.
static inline unsigned ScaledPauseMs(unsigned milliseconds) {
  return milliseconds / kPauseDivisor;
}

// Returns `milliseconds` divided by kPauseDivisor, but at least `floorMs`
// (or `milliseconds` itself when that is less): for bounds on the system's
// own work (connecting, keep-alive) that a busy test machine must still be
// able to meet.
static inline unsigned ScaledBoundMs(unsigned milliseconds, unsigned floorMs) {
  unsigned scaled = milliseconds / kPauseDivisor;
  if (floorMs > milliseconds) floorMs = milliseconds;
  return scaled < floorMs ? floorMs : scaled;
}

}  // namespace corvane

#endif  // CORVANE_PLATFORM_PRIVATE_SCALED_TIMINGS_H_
