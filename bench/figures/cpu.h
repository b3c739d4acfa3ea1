// Clocks the figures are taken with: wall time, and the CPU time of this
// process, of one of its threads, or of another process.
#pragma once

#include <dirent.h>
#include <pthread.h>
#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace plk::bench {

using Clock = std::chrono::steady_clock;

inline constexpr double kMB = 1e6;

inline double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}
inline double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

inline double ClockSeconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
inline double ProcessCpu() {
    return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID);
}
inline double ThreadCpu(std::thread& thread) {
    clockid_t id{};
    if (pthread_getcpuclockid(thread.native_handle(), &id) != 0) {
        return 0;
    }
    return ClockSeconds(id);
}
inline double OwnThreadCpu() {
    return ClockSeconds(CLOCK_THREAD_CPUTIME_ID);
}

// CPU time of another process, all its threads, in seconds: the scheduler's
// clock, which a process that is not our child still has.
inline double ProgramCpu(pid_t pid) {
    double total = 0;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            std::ifstream in(dir + "/" + e->d_name + "/schedstat");
            unsigned long long ns = 0;
            if (in >> ns) {
                total += static_cast<double>(ns) * 1e-9;
            }
        }
        closedir(d);
    }
    return total;
}

}  // namespace plk::bench
