#pragma once
// Which facilities of the operating system the platform layer builds on.
//
// Linux parks threads on futexes, wakes event loops through an eventfd and
// counts processors through the affinity mask. macOS parks on its own
// wait-on-address calls where the running system has them (14.4 and later).
// Everything else, and macOS before 14.4, takes the portable branches: park
// buckets of mutexes and condition variables, a pipe, sysconf.
//
// TORVAN_PORTABLE (the build's portable variant) takes the portable branches
// on Linux too, and 128-byte cache lines as on Apple's Arm cores, so that the
// code every other system runs is built and tested here.

#if defined(__linux__) && !defined(TORVAN_PORTABLE)
#define TORVAN_PARK_FUTEX 1
#define TORVAN_WAKE_EVENTFD 1
#define TORVAN_AFFINITY_MASK 1
#endif

#if defined(__APPLE__) && !defined(TORVAN_PORTABLE)
#define TORVAN_PARK_OS_SYNC 1  // when the running system has it; buckets otherwise
#endif

#if !defined(TORVAN_PARK_FUTEX)
#define TORVAN_PARK_BUCKETS 1
#endif

namespace torvan::platform {

#if defined(TORVAN_PORTABLE)
inline constexpr bool kPortableBuild = true;
#else
inline constexpr bool kPortableBuild = false;
#endif

}  // namespace torvan::platform
