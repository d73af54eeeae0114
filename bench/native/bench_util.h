// bench_util.h: what the native benchmarks share: thread CPU time, medians, comma-separated options.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace kivbench {

// CPU time of the calling thread: other work on a shared machine does not count.
inline int64_t thread_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// "a,b,,c" -> {"a", "b", "c"}
inline std::vector<std::string> split_list(const std::string &s) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size()) {
        size_t end = s.find(',', start);
        if (end == std::string::npos) end = s.size();
        if (end > start) out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

}  // namespace kivbench
