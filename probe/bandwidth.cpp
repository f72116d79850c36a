// bandwidth_probe: measures the memory bandwidth an OpenMP team of a given
// size reaches, so that the memory-bound benchmarks can be read against it.
//
//   usage: bandwidth_probe threads [mib_per_array] [repetitions=5]
//
// Three kernels run over arrays of doubles far larger than the caches:
//   sum    s += a[i]            counts 8 bytes per element (one read)
//   copy   c[i] = b[i]          counts 16 bytes per element (read + write)
//   triad  a[i] = b[i] + 3 c[i] counts 24 bytes per element (two reads + write)
// Write-allocate traffic is not counted, so the figures are what the program
// asks of memory, not what the bus carries. Each kernel's figure is the best
// of the repetitions. The arrays are first touched by the same team with the
// same static schedule as the kernels, so each thread's pages are local to it.
//
// Output, on success (exit status 0), exactly these lines:
//   threads: <team size>
//   array bytes: <bytes per array>
//   repetitions: <count>
//   sum: <bytes per second, integer>
//   copy: <bytes per second, integer>
//   triad: <bytes per second, integer>
// Errors go to standard error: exit status 2 for a bad command line, 1 when
// the arrays cannot be allocated or the kernels compute a wrong result.
#include <omp.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <new>
#include <string>

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
// Without cache information the arrays are this large each; with it, four
// times the largest cache, within these bounds.
constexpr std::int64_t kDefaultArrayBytes = 64 * kMiB;
constexpr std::int64_t kMaxDefaultArrayBytes = 256 * kMiB;
constexpr double kScalar = 3.0;
// Every loop walks blocks of this many elements: the sum keeps one partial
// sum per lane, so it is not held back by the latency of one long chain of
// additions, and all loops share one static schedule over the same blocks.
constexpr std::int64_t kBlock = 8;

void print_usage(std::FILE* stream) {
  std::fputs("usage: bandwidth_probe threads [mib_per_array] [repetitions=5]\n", stream);
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "bandwidth_probe: %s\n", message.c_str());
  print_usage(stderr);
  return 2;
}

// A whole decimal number within [low, high], or false.
bool parse_int(const char* text, long low, long high, long* value) {
  if (*text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

// Parses a cache size as sysfs shows it ("32768K", "8M"); 0 when unreadable.
std::int64_t read_cache_size(const std::string& path) {
  std::ifstream file(path);
  std::string text;
  if (!(file >> text) || text.empty()) return 0;
  char* end = nullptr;
  const long long number = std::strtoll(text.c_str(), &end, 10);
  if (number <= 0) return 0;
  switch (*end) {
    case '\0':
      return number;
    case 'K':
      return number * 1024;
    case 'M':
      return number * kMiB;
    case 'G':
      return number * 1024 * kMiB;
    default:
      return 0;
  }
}

std::int64_t default_array_bytes() {
  std::int64_t largest = 0;
  for (int index = 0; index < 16; index++) {
    const std::string path =
        "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/size";
    largest = std::max(largest, read_cache_size(path));
  }
  return std::clamp(4 * largest, kDefaultArrayBytes, kMaxDefaultArrayBytes);
}

struct Rates {
  double sum = 0, copy = 0, triad = 0;  // best seconds per kernel
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
    print_usage(stdout);
    return 0;
  }
  if (argc < 2 || argc > 4) return usage_error("expected 1 to 3 arguments");
  long threads = 0, mib = 0, repetitions = 5;
  if (!parse_int(argv[1], 1, 4096, &threads)) {
    return usage_error(std::string("threads must be a whole number from 1 to 4096, got \"") +
                       argv[1] + "\"");
  }
  if (argc > 2 && !parse_int(argv[2], 1, 65536, &mib)) {
    return usage_error(std::string("mib_per_array must be a whole number from 1 to 65536, got \"") +
                       argv[2] + "\"");
  }
  if (argc > 3 && !parse_int(argv[3], 1, 1000, &repetitions)) {
    return usage_error(std::string("repetitions must be a whole number from 1 to 1000, got \"") +
                       argv[3] + "\"");
  }

  const std::int64_t array_bytes = mib > 0 ? mib * kMiB : default_array_bytes();
  const std::int64_t blocks = array_bytes / static_cast<std::int64_t>(sizeof(double) * kBlock);
  const std::int64_t n = blocks * kBlock;

  // Uninitialised storage: the first write happens in the parallel loop below.
  double* a = new (std::nothrow) double[n];
  double* b = new (std::nothrow) double[n];
  double* c = new (std::nothrow) double[n];
  if (a == nullptr || b == nullptr || c == nullptr) {
    std::fprintf(stderr, "bandwidth_probe: cannot allocate 3 arrays of %" PRId64 " bytes\n",
                 array_bytes);
    delete[] a;
    delete[] b;
    delete[] c;
    return 1;
  }

  omp_set_dynamic(0);
  omp_set_num_threads(static_cast<int>(threads));
  int team = 0;
#pragma omp parallel
  {
#pragma omp single
    team = omp_get_num_threads();
#pragma omp for schedule(static)
    for (std::int64_t block = 0; block < blocks; block++) {
      for (std::int64_t i = block * kBlock; i < (block + 1) * kBlock; i++) {
        a[i] = 1.0;
        b[i] = 2.0;
        c[i] = 0.0;
      }
    }
  }

  Rates best;
  best.sum = best.copy = best.triad = std::numeric_limits<double>::infinity();
  double last_sum = 0;
  for (long r = 0; r < repetitions; r++) {
    double s = 0;
    double t0 = omp_get_wtime();
#pragma omp parallel reduction(+ : s)
    {
      double lanes[kBlock] = {};
#pragma omp for schedule(static)
      for (std::int64_t block = 0; block < blocks; block++) {
        for (std::int64_t j = 0; j < kBlock; j++) lanes[j] += a[block * kBlock + j];
      }
      for (std::int64_t j = 0; j < kBlock; j++) s += lanes[j];
    }
    double t1 = omp_get_wtime();
    best.sum = std::min(best.sum, t1 - t0);
    last_sum = s;

    t0 = omp_get_wtime();
#pragma omp parallel for schedule(static)
    for (std::int64_t block = 0; block < blocks; block++) {
      for (std::int64_t i = block * kBlock; i < (block + 1) * kBlock; i++) c[i] = b[i];
    }
    t1 = omp_get_wtime();
    best.copy = std::min(best.copy, t1 - t0);

    t0 = omp_get_wtime();
#pragma omp parallel for schedule(static)
    for (std::int64_t block = 0; block < blocks; block++) {
      for (std::int64_t i = block * kBlock; i < (block + 1) * kBlock; i++) {
        a[i] = b[i] + kScalar * c[i];
      }
    }
    t1 = omp_get_wtime();
    best.triad = std::min(best.triad, t1 - t0);
  }

  // The kernels must have done their work: a holds 1 before the first triad
  // and 2 + 3 * 2 = 8 after it, c holds 2. Sums of small integers are exact.
  const double expected_sum = static_cast<double>(n) * (repetitions == 1 ? 1.0 : 8.0);
  double check_a = 0, check_c = 0;
#pragma omp parallel for schedule(static) reduction(+ : check_a, check_c)
  for (std::int64_t i = 0; i < n; i++) {
    check_a += a[i];
    check_c += c[i];
  }
  delete[] a;
  delete[] b;
  delete[] c;
  if (last_sum != expected_sum || check_a != 8.0 * static_cast<double>(n) ||
      check_c != 2.0 * static_cast<double>(n)) {
    std::fprintf(stderr, "bandwidth_probe: the kernels computed wrong results\n");
    return 1;
  }
  // A kernel too short for the clock cannot give a figure.
  if (!(best.sum > 0 && best.copy > 0 && best.triad > 0)) {
    std::fprintf(stderr, "bandwidth_probe: arrays too small to time; give a larger size\n");
    return 1;
  }

  const double bytes = static_cast<double>(n) * sizeof(double);
  std::printf("threads: %d\n", team);
  std::printf("array bytes: %" PRId64 "\n", n * static_cast<std::int64_t>(sizeof(double)));
  std::printf("repetitions: %ld\n", repetitions);
  std::printf("sum: %.0f\n", 1 * bytes / best.sum);
  std::printf("copy: %.0f\n", 2 * bytes / best.copy);
  std::printf("triad: %.0f\n", 3 * bytes / best.triad);
  return 0;
}
