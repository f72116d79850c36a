// bench_partial_sum: times the parallel mode's std::partial_sum of the doubles
// 0, 1, ..., n-1 into a separate output array. The output is first written by
// the first timed call, so that call also pays for touching its memory.
// std::partial_sum has no execution-policy overload: the policy backends time
// std::inclusive_scan, which writes the same sums (exactly the same while they
// stay below 2^53, n up to about 1.3e8; past that the parallel grouping of the
// additions may round differently).
#include <iostream>
#include <numeric>

#include "algobench/backend.h"
#include "algobench/harness.h"
#include "algobench/random.h"

namespace {
const algobench::Usage usage{ALGOBENCH_PROGRAM("bench_partial_sum"), nullptr,
                             algobench::max_threads(algobench::parallel_mode_max_threads)};
}

int main(int argc, char** argv) {
  const algobench::Invocation invocation =
      algobench::parse_invocation(argc, argv, usage, std::cout, std::cerr);
  if (invocation.exit_status) return *invocation.exit_status;
  const algobench::Arguments& args = invocation.arguments;
  const int n = args.n;
  const algobench::BackendThreads backend_threads(args.threads);

  const double t0 = algobench::wall_clock();
  double* input = algobench::allocate_array<double>(usage, n, "input");
  double* output = algobench::allocate_array<double>(usage, n, "output");
  const double t1 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time allocate:", t1 - t0);

  Random random(algobench::seed_for(args.repetitions));

  const double t2 = algobench::wall_clock();
  for (int i = 0; i < n; i++) input[i] = i;
  const double t3 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time init:", t3 - t2);

  algobench::begin_counted_loop();
  const double t4 = algobench::wall_clock();
  for (int i = 0; i < args.repetitions; i++) {
#if ALGOBENCH_HAS_POLICY
    std::inclusive_scan(ALGOBENCH_POLICY input, input + n, output);
#else
    std::partial_sum(input, input + n, output);
#endif
  }
  const double t5 = algobench::wall_clock();
  algobench::end_counted_loop();

  algobench::print_closing_report(std::cout, args.threads, n, (t5 - t4) / args.repetitions);

  delete[] input;
  delete[] output;
  return 0;
}
