// What every benchmark program shares: reading its positional arguments,
// refusing input it cannot run with, the wall clock, array allocation with a
// clear message when memory runs out, and the report lines. Each program's
// main() reads as its list of phases and calls these in that order.
#ifndef ALGOBENCH_HARNESS_H
#define ALGOBENCH_HARNESS_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <ostream>

namespace algobench {

// The positional integers of a program, after the defaults are applied.
struct Arguments {
  int n = 10000;
  int threads = 1;
  int repetitions = 1;
  // The program-specific fourth argument, when all four were given.
  std::optional<int> fourth;
};

// What a program tells the harness about itself for messages and help.
struct Usage {
  const char* program;  // e.g. "bench_count_if"
  const char* fourth;   // e.g. "[k=n*3/4]", or nullptr when there is none
  // The largest thread count the program can hand on, or 0 when it only
  // echoes the count (the sequential programs).
  int max_threads = 0;
};

// Converts one argument as the suite always has: strtol base 10, then
// truncated to 32 bits. Non-numeric text reads as 0, trailing text is ignored.
int to_int(const char* text);

// Reads up to four positional integers strictly in order; an argument is read
// only when every one before it is present, and extra ones are ignored.
Arguments read_arguments(int argc, const char* const* argv);

// The outcome of looking at a command line: either arguments to run with, or
// the exit status of a program that already printed help or an error.
struct Invocation {
  Arguments arguments;
  std::optional<int> exit_status;
};

// Reads the command line and handles what no program can run with: "-h" or
// "--help" first prints the usage line to `out` (status 0); a negative n, or a
// thread count above usage.max_threads where there is one, prints a message
// and the usage line to `err` (status 2).
Invocation parse_invocation(int argc, const char* const* argv, const Usage& usage,
                            std::ostream& out, std::ostream& err);

// Prints "program: message" and the usage line to `err`; returns exit status 2.
int usage_error(std::ostream& err, const Usage& usage, const char* message);

// Writes the usage line, "usage: program [n=10000] [threads=1] ...".
void print_usage(std::ostream& os, const Usage& usage);

// The seed every program gives its generator: repetitions + 42 as a 32-bit
// int (wrapping at the top of the range), sign-extended to the seed type.
unsigned long seed_for(int repetitions);

// The default selection index n*3/4, formed in 64 bits so that every n >= 0
// gives an index within 0..n.
int default_selection_index(int n);

// Checks the selection index k of the selection programs against 0..n; when
// it lies outside, prints a message naming k, n and the range with the usage
// line to `err` and returns exit status 2.
std::optional<int> check_selection_index(int k, int n, const Usage& usage, std::ostream& err);

// The data of the selection programs: srand(0), then the first n values of
// the never-seeded lrand48 sequence, the same on every run.
void fill_with_lrand48(int* a, int n);

// Seconds since the epoch from one gettimeofday() call.
double wall_clock();

// Bracket a program's timed loop for instruction counting: under Valgrind's
// callgrind (started with --instr-atstart=no) the instructions of every
// thread are counted from begin_counted_loop() to end_counted_loop(), and
// nothing else. Each program calls begin just before its first clock read of
// the timed loop and end just after its last. Outside Valgrind, or in a
// build without <valgrind/callgrind.h>, they do nothing that shows.
void begin_counted_loop();
void end_counted_loop();

// Array new without exceptions: on failure prints how many bytes could not be
// had for which array, then ends the process with status 1.
template <class T>
T* allocate_array(const Usage& usage, std::int64_t count, const char* what) {
  T* array = nullptr;
  try {
    // A length beyond what new[] can form throws even in its nothrow form.
    if (count >= 0) array = new (std::nothrow) T[static_cast<std::size_t>(count)];
  } catch (const std::bad_alloc&) {
  }
  if (array == nullptr) {
    std::fprintf(stderr, "%s: cannot allocate %llu bytes for the %s array\n", usage.program,
                 static_cast<unsigned long long>(count) * sizeof(T), what);
    std::fflush(stderr);
    std::_Exit(1);
  }
  return array;
}

// "Time allocate:", "Time init:": the label directly followed by the seconds.
void print_time_line(std::ostream& os, const char* label, double seconds);

// A program's result line: the label directly followed by the value.
void print_result_line(std::ostream& os, const char* label, long value);

// The closing report: "Result-> cpu:<threads>  :size: <n>  :time: <seconds>".
void print_closing_report(std::ostream& os, int threads, int n, double seconds_per_repetition);

// Makes room on this thread's stack for the OpenMP runtime to start a team of
// `threads`, in a program that hands its count on (parse_invocation's Usage
// has a max_threads): raises the stack's soft limit when it is too small for them, or,
// when the hard limit forbids that, ends the program with one line on stderr
// and status 1 (instead of the SIGSEGV the team start would end in).
void reserve_team_stack(int threads);

}  // namespace algobench

#endif  // ALGOBENCH_HARNESS_H
