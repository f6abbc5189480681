// The peak resident memory of a piece of work, measured in a child process of its own so
// that what the benchmark did before does not count.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "OrvOleDb.h"

namespace orv::bench {

// Runs `work` in a forked child with COM initialised; its peak resident memory in KiB.
template <class Work>
long ChildPeakKb(Work work) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        work();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return usage.ru_maxrss;
}

}  // namespace orv::bench
