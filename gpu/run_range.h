#pragma once
// A part of a GPU run: `count` items from the run-wide index `first` (count
// below 0: to the end). Distributed runs give each worker one such part;
// every engine draws an item's random numbers from its run-wide index, so
// the parts put together equal the whole run.

#include <sstream>
#include <stdexcept>
#include <utility>

namespace norvi {

struct RunRange {
    long long first = 0;
    long long count = -1;
};

// [first, end) within [0, total]; otherwise std::invalid_argument, worded as
// the CPU engines word it: "<who>: <item> range [first, end) lies outside
// <whole> <total> <item>s", e.g. whole "the sensor's" for rows.
inline std::pair<long long, long long> resolve_run_range(RunRange r, long long total, const char* who,
                                                         const char* item, const char* whole) {
    const long long end = r.count < 0 ? total : r.first + r.count;
    if (r.first < 0 || end > total || r.first > end) {
        std::ostringstream os;
        os << who << ": " << item << " range [" << r.first << ", " << end << ") lies outside " << whole << " "
           << total << " " << item << "s";
        throw std::invalid_argument(os.str());
    }
    return {r.first, end};
}

}  // namespace norvi
