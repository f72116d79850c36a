// bench_stable_partition: times the sequential std::stable_partition of the
// ints 0..n-1 by the sign of their sine, inside a parallel-mode build; the
// thread count reaches OpenMP but no parallel region is ever entered. Under
// the execution policies the call does run in parallel, on oneTBB.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "algobench/backend.h"
#include "algobench/harness.h"
#include "algobench/random.h"

namespace {
const algobench::Usage usage{ALGOBENCH_PROGRAM("bench_stable_partition"), nullptr,
                             algobench::max_threads(algobench::threads_only_echoed)};
}

// True exactly when the sine of the value is strictly negative.
template <class T>
bool sin_less_than_zero(T value) {
  return 0.0 > std::sin(static_cast<double>(value));
}

int main(int argc, char** argv) {
  const algobench::Invocation invocation =
      algobench::parse_invocation(argc, argv, usage, std::cout, std::cerr);
  if (invocation.exit_status) return *invocation.exit_status;
  const algobench::Arguments& args = invocation.arguments;
  const int n = args.n;
  const algobench::BackendThreads backend_threads(args.threads);

  const double t0 = algobench::wall_clock();
  int* a = algobench::allocate_array<int>(usage, n, "input");
  const double t1 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time allocate:", t1 - t0);

  Random random(algobench::seed_for(args.repetitions));

  const double t2 = algobench::wall_clock();
  std::srand(0);
  for (int i = 0; i < n; i++) a[i] = i;
  const double t3 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time init:", t3 - t2);

  bool (*predicate)(int) = sin_less_than_zero<int>;
  // Before any call the first group is empty: the result shows 0.
  int* boundary = a;
  algobench::begin_counted_loop();
  const double t4 = algobench::wall_clock();
  for (int i = 0; i < args.repetitions; i++) {
    boundary = std::stable_partition(ALGOBENCH_POLICY a, a + n, predicate);
  }
  const double t5 = algobench::wall_clock();
  algobench::end_counted_loop();

  algobench::print_result_line(std::cout,
                               "left partition size = ", static_cast<long>(boundary - a));
  algobench::print_closing_report(std::cout, args.threads, n, (t5 - t4) / args.repetitions);

  delete[] a;
  return 0;
}
