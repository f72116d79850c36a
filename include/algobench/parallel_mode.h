// What the parallel-mode programs share beyond the harness. backend.h brings it
// into every build, so that all variants of a program name the same bound:
// <parallel/types.h> only declares types and needs neither _GLIBCXX_PARALLEL
// nor OpenMP.
#ifndef ALGOBENCH_PARALLEL_MODE_H
#define ALGOBENCH_PARALLEL_MODE_H

#include <parallel/types.h>

#include <limits>

namespace algobench {

// libstdc++'s parallel mode counts threads in a 16-bit type and forms
// "threads + 2" in it; a larger count wraps and the library then writes past
// its own tables (65535 threads crash bench_set_intersection). Counts up to
// this bound are handed to OpenMP unchanged.
constexpr int parallel_mode_max_threads =
    std::numeric_limits<__gnu_parallel::_ThreadIndex>::max() - 2;

}  // namespace algobench

#endif  // ALGOBENCH_PARALLEL_MODE_H
