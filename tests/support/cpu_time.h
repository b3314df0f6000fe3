// CPU time used so far, for tests that check a program sleeps while it waits.
#pragma once

#include <sys/resource.h>

namespace flashupdate::testing {

// who: RUSAGE_SELF, or RUSAGE_CHILDREN for the child processes that have ended.
inline double cpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    ::getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace flashupdate::testing
