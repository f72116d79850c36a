// bench_find_if: times the sequential std::find_if over the ints 1..n for the
// first element whose sine is exactly zero. A single 0 stored at the position
// given as the fourth argument decides how far each search runs; the result
// line reports where the last search stopped. Its policy variants
// (backend.h) make the same call under std::execution::par or par_unseq.
#include <algorithm>
#include <cmath>
#include <iostream>

#include "algobench/backend.h"
#include "algobench/harness.h"
#include "algobench/random.h"

namespace {
const algobench::Usage usage{ALGOBENCH_PROGRAM("bench_find_if"), "[zero_position=10000]",
                             algobench::max_threads(algobench::threads_only_echoed)};
}

// True exactly when the sine of the value compares equal to 0.0.
template <class T>
struct sin_equal_to_zero {
  bool operator()(T value) const { return std::sin(static_cast<double>(value)) == 0.0; }
};

int main(int argc, char** argv) {
  const algobench::Invocation invocation =
      algobench::parse_invocation(argc, argv, usage, std::cout, std::cerr);
  if (invocation.exit_status) return *invocation.exit_status;
  const algobench::Arguments& args = invocation.arguments;
  const int n = args.n;
  const algobench::BackendThreads backend_threads(args.threads);
  const int zero_position = args.fourth.value_or(10000);

  const double t0 = algobench::wall_clock();
  int* a = algobench::allocate_array<int>(usage, n, "input");
  const double t1 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time allocate:", t1 - t0);

  Random random(algobench::seed_for(args.repetitions));

  const double t2 = algobench::wall_clock();
  for (int i = 0; i < n; i++) a[i] = i + 1;
  // A position outside the array stores nothing: the search then finds no zero.
  if (zero_position >= 0 && zero_position < n) a[zero_position] = 0;
  const double t3 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time init:", t3 - t2);

  // Without a search the result is the end, as for a search that finds nothing.
  int* found = a + n;
  algobench::begin_counted_loop();
  const double t4 = algobench::wall_clock();
  for (int i = 0; i < args.repetitions; i++) {
    found = std::find_if(ALGOBENCH_POLICY a, a + n, sin_equal_to_zero<int>());
  }
  const double t5 = algobench::wall_clock();
  algobench::end_counted_loop();

  algobench::print_result_line(std::cout, "pos_found = ", static_cast<long>(found - a));
  algobench::print_closing_report(std::cout, args.threads, n, (t5 - t4) / args.repetitions);

  delete[] a;
  return 0;
}
