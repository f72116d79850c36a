// Which implementation of the std:: algorithms a program's timed call runs
// on. add_benchmark() compiles each program file once per backend and names
// the backend with one compile definition:
//
//   (none)                        the program as it always was: the libstdc++
//                                 parallel mode on OpenMP when built with
//                                 _GLIBCXX_PARALLEL, the plain library otherwise
//   ALGOBENCH_BACKEND_SEQUENTIAL  the plain library, no OpenMP at all
//   ALGOBENCH_BACKEND_PAR         std::execution::par, libstdc++ on oneTBB
//   ALGOBENCH_BACKEND_PAR_UNSEQ   std::execution::par_unseq, libstdc++ on oneTBB
//
// Everything that differs per backend is here: the executable's name, the
// policy argument of the timed call, where the thread count goes and the
// largest count a program accepts. A program writes its call as
// `std::find_if(ALGOBENCH_POLICY a, a + n, pred)`.
#ifndef ALGOBENCH_BACKEND_H
#define ALGOBENCH_BACKEND_H

#include <algorithm>
#include <cstddef>

#include "algobench/harness.h"
#include "algobench/parallel_mode.h"

#if defined(ALGOBENCH_BACKEND_SEQUENTIAL) + defined(ALGOBENCH_BACKEND_PAR) + \
        defined(ALGOBENCH_BACKEND_PAR_UNSEQ) > 1
#error "at most one ALGOBENCH_BACKEND_* may be defined"
#endif

#if defined(ALGOBENCH_BACKEND_PAR) || defined(ALGOBENCH_BACKEND_PAR_UNSEQ)
#define ALGOBENCH_HAS_POLICY 1
#else
#define ALGOBENCH_HAS_POLICY 0
#endif

#if (ALGOBENCH_HAS_POLICY || defined(ALGOBENCH_BACKEND_SEQUENTIAL)) && defined(_GLIBCXX_PARALLEL)
#error "a backend variant must be built without the parallel mode (_GLIBCXX_PARALLEL)"
#endif

#if ALGOBENCH_HAS_POLICY
#include <tbb/global_control.h>

#include <execution>
// Without its oneTBB backend libstdc++ runs std::execution::par sequentially
// and says nothing: a variant built that way would time the sequential call
// under a parallel name.
#ifndef _PSTL_PAR_BACKEND_TBB
#error "std::execution::par would run sequentially: libstdc++ has not selected its oneTBB backend (_GLIBCXX_USE_TBB_PAR_BACKEND is 0, or <tbb/tbb.h> is missing)"
#endif
#elif defined(_GLIBCXX_PARALLEL)
#include <omp.h>
#endif

#if defined(ALGOBENCH_BACKEND_SEQUENTIAL)
#define ALGOBENCH_PROGRAM(name) name "_seq"
#define ALGOBENCH_POLICY
#elif defined(ALGOBENCH_BACKEND_PAR)
#define ALGOBENCH_PROGRAM(name) name "_par"
#define ALGOBENCH_POLICY std::execution::par,
#elif defined(ALGOBENCH_BACKEND_PAR_UNSEQ)
#define ALGOBENCH_PROGRAM(name) name "_par_unseq"
#define ALGOBENCH_POLICY std::execution::par_unseq,
#else
#define ALGOBENCH_PROGRAM(name) name
#define ALGOBENCH_POLICY
#endif

namespace algobench {

// Usage::max_threads of a program that only echoes its thread count.
constexpr int threads_only_echoed = 0;

// oneTBB sizes a table of worker slots by max_allowed_parallelism when its
// scheduler starts, about 130 bytes a slot: a limit of 10^6 costs 140 MB,
// 10^8 costs 13 GB and 40 s, and 2^31-1 ends in std::bad_alloc. The parallel
// mode's bound keeps the table to a few megabytes and lets one list of thread
// counts serve every backend.
constexpr int tbb_max_threads = parallel_mode_max_threads;

// The largest thread count the program accepts in this build, given what its
// parallel-mode build accepts (threads_only_echoed when it only echoes).
constexpr int max_threads([[maybe_unused]] int parallel_mode_bound) {
#if ALGOBENCH_HAS_POLICY
  return tbb_max_threads;
#elif defined(ALGOBENCH_BACKEND_SEQUENTIAL)
  return threads_only_echoed;
#else
  return parallel_mode_bound;
#endif
}

// Hands the thread count to the library for as long as it lives: to OpenMP
// in the parallel mode, to oneTBB as max_allowed_parallelism for the
// execution policies (which refuses 0: a count of 0 or less means 1 there, as
// it does in libgomp), and nowhere in a sequential build.
class BackendThreads {
 public:
  explicit BackendThreads([[maybe_unused]] int threads)
#if ALGOBENCH_HAS_POLICY
      : limit_(tbb::global_control::max_allowed_parallelism,
               static_cast<std::size_t>(std::max(threads, 1)))
#endif
  {
#if !ALGOBENCH_HAS_POLICY && !defined(ALGOBENCH_BACKEND_SEQUENTIAL) && defined(_GLIBCXX_PARALLEL)
    reserve_team_stack(threads);
    omp_set_num_threads(threads);
#endif
  }
  BackendThreads(const BackendThreads&) = delete;
  BackendThreads& operator=(const BackendThreads&) = delete;

 private:
#if ALGOBENCH_HAS_POLICY
  tbb::global_control limit_;
#endif
};

}  // namespace algobench

#endif  // ALGOBENCH_BACKEND_H
