// bench_partial_sum: times the parallel mode's std::partial_sum of the doubles
// 0, 1, ..., n-1 into a separate output array. The output is first written by
// the first timed call, so that call also pays for touching its memory.
#include <omp.h>

#include <iostream>
#include <numeric>

#include "algobench/harness.h"
#include "algobench/parallel_mode.h"
#include "algobench/random.h"

namespace {
const algobench::Usage usage{"bench_partial_sum", nullptr, algobench::parallel_mode_max_threads};
}

int main(int argc, char** argv) {
  const algobench::Invocation invocation =
      algobench::parse_invocation(argc, argv, usage, std::cout, std::cerr);
  if (invocation.exit_status) return *invocation.exit_status;
  const algobench::Arguments& args = invocation.arguments;
  const int n = args.n;
  omp_set_num_threads(args.threads);

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

  const double t4 = algobench::wall_clock();
  for (int i = 0; i < args.repetitions; i++) {
    std::partial_sum(input, input + n, output);
  }
  const double t5 = algobench::wall_clock();

  algobench::print_closing_report(std::cout, args.threads, n, (t5 - t4) / args.repetitions);

  delete[] input;
  delete[] output;
  return 0;
}
