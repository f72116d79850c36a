// bench_partial_sort: times the sequential std::partial_sort of the k smallest of
// the first n values of the never-seeded lrand48 sequence. The array is not
// refilled, so repetitions after the first start with the k smallest in place.
// Its policy variant (backend.h) makes the same call under std::execution::par.
#include <algorithm>
#include <iostream>

#include "algobench/backend.h"
#include "algobench/harness.h"
#include "algobench/random.h"

namespace {
const algobench::Usage usage{ALGOBENCH_PROGRAM("bench_partial_sort"), "[k=n*3/4]",
                             algobench::max_threads(algobench::threads_only_echoed)};
}

int main(int argc, char** argv) {
  const algobench::Invocation invocation =
      algobench::parse_invocation(argc, argv, usage, std::cout, std::cerr);
  if (invocation.exit_status) return *invocation.exit_status;
  const algobench::Arguments& args = invocation.arguments;
  const int n = args.n;
  const algobench::BackendThreads backend_threads(args.threads);
  const int k = args.fourth.value_or(algobench::default_selection_index(n));
  if (auto status = algobench::check_selection_index(k, n, usage, std::cerr)) return *status;

  const double t0 = algobench::wall_clock();
  int* a = algobench::allocate_array<int>(usage, n, "input");
  const double t1 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time allocate:", t1 - t0);

  Random random(algobench::seed_for(args.repetitions));

  const double t2 = algobench::wall_clock();
  algobench::fill_with_lrand48(a, n);
  const double t3 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time init:", t3 - t2);

  algobench::begin_counted_loop();
  const double t4 = algobench::wall_clock();
  for (int i = 0; i < args.repetitions; i++) {
    std::partial_sort(ALGOBENCH_POLICY a, a + k, a + n);
  }
  const double t5 = algobench::wall_clock();
  algobench::end_counted_loop();

  algobench::print_closing_report(std::cout, args.threads, n, (t5 - t4) / args.repetitions);

  delete[] a;
  return 0;
}
