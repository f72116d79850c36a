// bench_count_if: times the parallel mode's std::count_if with the balanced
// (work-stealing) strategy over the doubles 1..n, counting the elements that
// sin_less_than_zero accepts (the even ones, n/2). Its closing report prints
// the time in fixed notation with nine decimals. The balanced tag exists only
// in the parallel mode: the other backends make the plain call with the same
// predicate.
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <iterator>

#include "algobench/backend.h"
#include "algobench/harness.h"
#include "algobench/random.h"

namespace {
const algobench::Usage usage{ALGOBENCH_PROGRAM("bench_count_if"), nullptr,
                             algobench::max_threads(algobench::parallel_mode_max_threads)};
}

// Despite its name, true exactly when the value truncated to int is even.
template <class T>
bool sin_less_than_zero(T value) {
  return (static_cast<int>(value) & 1) == 0;
}

int main(int argc, char** argv) {
  const algobench::Invocation invocation =
      algobench::parse_invocation(argc, argv, usage, std::cout, std::cerr);
  if (invocation.exit_status) return *invocation.exit_status;
  const algobench::Arguments& args = invocation.arguments;
  const int n = args.n;
  const algobench::BackendThreads backend_threads(args.threads);

  const double t0 = algobench::wall_clock();
  double* a = algobench::allocate_array<double>(usage, n, "input");
  const double t1 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time allocate:", t1 - t0);

  Random random(algobench::seed_for(args.repetitions));

  const double t2 = algobench::wall_clock();
  for (int i = 0; i < n; i++) a[i] = i + 1;
  const double t3 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time init:", t3 - t2);

  bool (*predicate)(double) = sin_less_than_zero<double>;
  // Before any call nothing is counted: the result shows 0.
  std::iterator_traits<double*>::difference_type count = 0;
  algobench::begin_counted_loop();
  const double t4 = algobench::wall_clock();
  for (int i = 0; i < args.repetitions; i++) {
#ifdef _GLIBCXX_PARALLEL
    count = std::count_if(a, a + n, predicate, __gnu_parallel::parallel_balanced);
#else
    count = std::count_if(ALGOBENCH_POLICY a, a + n, predicate);
#endif
  }
  const double t5 = algobench::wall_clock();
  algobench::end_counted_loop();

  std::cout << std::fixed << std::setprecision(9);
  algobench::print_result_line(std::cout, "res = ", count);
  algobench::print_closing_report(std::cout, args.threads, n, (t5 - t4) / args.repetitions);

  delete[] a;
  return 0;
}
