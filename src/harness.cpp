// The shared harness: argument rules, input checks, clock and report lines.
#include "algobench/harness.h"

#include <sys/resource.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef ALGOBENCH_INSTRUCTION_MARKS
#include <valgrind/callgrind.h>
#endif

namespace algobench {

int to_int(const char* text) {
  // Truncation keeps the low 32 bits, as the conversion to int always has.
  return static_cast<int>(static_cast<unsigned int>(std::strtol(text, nullptr, 10)));
}

Arguments read_arguments(int argc, const char* const* argv) {
  Arguments arguments;
  if (argc > 1) arguments.n = to_int(argv[1]);
  if (argc > 2) arguments.threads = to_int(argv[2]);
  if (argc > 3) arguments.repetitions = to_int(argv[3]);
  if (argc > 4) arguments.fourth = to_int(argv[4]);
  return arguments;
}

void print_usage(std::ostream& os, const Usage& usage) {
  os << "usage: " << usage.program << " [n=10000] [threads=1] [repetitions=1]";
  if (usage.fourth != nullptr) os << ' ' << usage.fourth;
  os << '\n';
}

int usage_error(std::ostream& err, const Usage& usage, const char* message) {
  err << usage.program << ": " << message << '\n';
  print_usage(err, usage);
  err.flush();
  return 2;
}

namespace {
// The program whose arguments parse_invocation read last.
const Usage* invoked_usage = nullptr;
}  // namespace

Invocation parse_invocation(int argc, const char* const* argv, const Usage& usage,
                            std::ostream& out, std::ostream& err) {
  Invocation invocation;
  invoked_usage = &usage;
  if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    print_usage(out, usage);
    out.flush();
    invocation.exit_status = 0;
    return invocation;
  }
  invocation.arguments = read_arguments(argc, argv);
  const int n = invocation.arguments.n;
  if (n < 0) {
    const std::string message =
        "n must be 0 or more, got " + std::to_string(n) + " (from \"" + argv[1] + "\")";
    invocation.exit_status = usage_error(err, usage, message.c_str());
    return invocation;
  }
  const int threads = invocation.arguments.threads;
  if (usage.max_threads > 0 && threads > usage.max_threads) {
    const std::string message = "threads must be at most " + std::to_string(usage.max_threads) +
                                ", got " + std::to_string(threads);
    invocation.exit_status = usage_error(err, usage, message.c_str());
  }
  return invocation;
}

unsigned long seed_for(int repetitions) {
  const int seed = static_cast<int>(static_cast<unsigned int>(repetitions) + 42u);
  return static_cast<unsigned long>(static_cast<long>(seed));
}

int default_selection_index(int n) {
  return static_cast<int>(static_cast<std::int64_t>(n) * 3 / 4);
}

std::optional<int> check_selection_index(int k, int n, const Usage& usage, std::ostream& err) {
  if (k >= 0 && k <= n) return std::nullopt;
  const std::string message = "k must lie within 0..n (0.." + std::to_string(n) +
                              " for n = " + std::to_string(n) + "), got k = " + std::to_string(k);
  return usage_error(err, usage, message.c_str());
}

void fill_with_lrand48(int* a, int n) {
  std::srand(0);
  for (int i = 0; i < n; i++) a[i] = static_cast<int>(lrand48());
}

double wall_clock() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

#ifdef ALGOBENCH_INSTRUCTION_MARKS
// The runner looks for this text in a program to learn that it can be counted.
__attribute__((used)) extern const char instruction_marks_tag[] = "algobench-instruction-marks";
#endif

// START/STOP_INSTRUMENTATION switch counting for all threads at once (the
// OpenMP and oneTBB workers too), where TOGGLE_COLLECT would switch only the
// calling thread's.
void begin_counted_loop() {
#ifdef ALGOBENCH_INSTRUCTION_MARKS
  CALLGRIND_START_INSTRUMENTATION;
#endif
}

void end_counted_loop() {
#ifdef ALGOBENCH_INSTRUCTION_MARKS
  CALLGRIND_STOP_INSTRUMENTATION;
#endif
}

void print_time_line(std::ostream& os, const char* label, double seconds) {
  os << label << seconds << std::endl;
}

void print_result_line(std::ostream& os, const char* label, long value) {
  os << label << value << std::endl;
}

void print_closing_report(std::ostream& os, int threads, int n, double seconds_per_repetition) {
  os << "Result-> cpu:" << threads << "  :size: " << n << "  :time: " << seconds_per_repetition
     << std::endl;
}

// libgomp starts a team from the thread that meets the parallel region and
// keeps every new thread's start data on that thread's stack, in one alloca
// of about 128 bytes a thread (x86-64, GCC 12): at the usual 8 MiB limit the
// main thread's stack runs out near 65,368 threads, and the program dies of
// SIGSEGV before libgomp can say anything. Twice that per thread, and a
// megabyte for the frames around it, leaves room for other libgomp versions.
void reserve_team_stack(int threads) {
  constexpr rlim_t per_thread = 256;
  constexpr rlim_t headroom = rlim_t{1} << 20;
  // A program that only echoes its count (stable_partition's one call never
  // opens a parallel region) starts no team.
  if (threads <= 1 || invoked_usage == nullptr || invoked_usage->max_threads <= 0) return;
  const rlim_t need = static_cast<rlim_t>(threads) * per_thread + headroom;
  rlimit limit{};
  if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur >= need)
    return;
  // The kernel grows the main thread's stack up to the soft limit in force
  // when it grows, so raising it now is enough.
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= need) {
    limit.rlim_cur = need;
    if (setrlimit(RLIMIT_STACK, &limit) == 0) return;
  }
  std::fprintf(stderr,
               "%s: cannot start %d threads: the OpenMP runtime needs about %llu KiB of stack "
               "to start them, and the stack's hard limit is %llu KiB (see ulimit -Hs)\n",
               invoked_usage->program, threads, static_cast<unsigned long long>(need >> 10),
               static_cast<unsigned long long>(limit.rlim_max >> 10));
  std::fflush(stderr);
  std::_Exit(1);
}

}  // namespace algobench
