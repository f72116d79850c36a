// bench_set_intersection: times the parallel mode's std::set_intersection of
// two ascending arrays of n doubles, 1..n and 2, 4, ..., 2n, into an output
// of 2n elements, and reports how many elements the last call wrote (n/2).
#include <algorithm>
#include <cstdint>
#include <iostream>

#include "algobench/backend.h"
#include "algobench/harness.h"
#include "algobench/random.h"

namespace {
const algobench::Usage usage{ALGOBENCH_PROGRAM("bench_set_intersection"), nullptr,
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
  double* first = algobench::allocate_array<double>(usage, n, "first input");
  double* second = algobench::allocate_array<double>(usage, n, "second input");
  // Twice the most an intersection of two n-element ranges can hold, in 64 bits.
  double* output =
      algobench::allocate_array<double>(usage, 2 * static_cast<std::int64_t>(n), "output");
  const double t1 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time allocate:", t1 - t0);

  Random random(algobench::seed_for(args.repetitions));

  const double t2 = algobench::wall_clock();
  for (int i = 0; i < n; i++) {
    first[i] = i + 1;
    second[i] = 2 * (i + 1);
  }
  const double t3 = algobench::wall_clock();
  algobench::print_time_line(std::cout, "Time init:", t3 - t2);

  // Before any call the intersection is empty: the result shows 0.
  double* end = output;
  algobench::begin_counted_loop();
  const double t4 = algobench::wall_clock();
  for (int i = 0; i < args.repetitions; i++) {
    end = std::set_intersection(ALGOBENCH_POLICY first, first + n, second, second + n, output);
  }
  const double t5 = algobench::wall_clock();
  algobench::end_counted_loop();

  algobench::print_result_line(std::cout,
                               "size inserted elements =", static_cast<long>(end - output));
  algobench::print_closing_report(std::cout, args.threads, n, (t5 - t4) / args.repetitions);

  delete[] first;
  delete[] second;
  delete[] output;
  return 0;
}
