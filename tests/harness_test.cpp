// The harness rules every program shares: argument reading, input checks,
// the selection index, the lrand48 data and the exact report lines.
#include "algobench/harness.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

namespace {

using algobench::Arguments;

const algobench::Usage usage{"bench_test", "[k=n*3/4]"};

Arguments read(std::vector<const char*> args) {
  args.insert(args.begin(), "bench_test");
  return algobench::read_arguments(static_cast<int>(args.size()), args.data());
}

TEST(ArgumentsTest, ConversionIsStrtolTruncatedTo32Bits) {
  EXPECT_EQ(algobench::to_int("123"), 123);
  EXPECT_EQ(algobench::to_int("-17"), -17);
  EXPECT_EQ(algobench::to_int("abc"), 0);
  EXPECT_EQ(algobench::to_int(""), 0);
  EXPECT_EQ(algobench::to_int("12abc"), 12);
  EXPECT_EQ(algobench::to_int("  42"), 42);
  EXPECT_EQ(algobench::to_int("1e6"), 1);
  EXPECT_EQ(algobench::to_int("4294967297"), 1);
  EXPECT_EQ(algobench::to_int("2147483648"), INT_MIN);
  EXPECT_EQ(algobench::to_int("4294967295"), -1);
  // strtol saturates at LONG_MAX, whose low 32 bits are all ones.
  EXPECT_EQ(algobench::to_int("99999999999999999999999"), -1);
}

TEST(ArgumentsTest, DefaultsApplyToWhateverIsAbsent) {
  const Arguments none = read({});
  EXPECT_EQ(none.n, 10000);
  EXPECT_EQ(none.threads, 1);
  EXPECT_EQ(none.repetitions, 1);
  EXPECT_FALSE(none.fourth.has_value());

  const Arguments only_n = read({"500"});
  EXPECT_EQ(only_n.n, 500);
  EXPECT_EQ(only_n.threads, 1);
  EXPECT_EQ(only_n.repetitions, 1);

  const Arguments three = read({"500", "4", "7"});
  EXPECT_EQ(three.threads, 4);
  EXPECT_EQ(three.repetitions, 7);
  EXPECT_FALSE(three.fourth.has_value());
}

TEST(ArgumentsTest, FourthIsReadOnlyWithAllFourAndExtrasAreIgnored) {
  const Arguments four = read({"500", "2", "3", "9"});
  ASSERT_TRUE(four.fourth.has_value());
  EXPECT_EQ(*four.fourth, 9);
  const Arguments five = read({"500", "2", "3", "9", "77"});
  EXPECT_EQ(*five.fourth, 9);
  EXPECT_EQ(five.n, 500);
}

TEST(ArgumentsTest, ThreadsAreKeptAsGivenEvenWhenZeroOrNegative) {
  EXPECT_EQ(read({"10", "0"}).threads, 0);
  EXPECT_EQ(read({"10", "-3"}).threads, -3);
  EXPECT_EQ(read({"10", "x"}).threads, 0);
}

struct Outcome {
  algobench::Invocation invocation;
  std::string out;
  std::string err;
};

Outcome invoke(std::vector<const char*> args) {
  args.insert(args.begin(), "bench_test");
  std::ostringstream out;
  std::ostringstream err;
  Outcome outcome{
      algobench::parse_invocation(static_cast<int>(args.size()), args.data(), usage, out, err), "",
      ""};
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

TEST(InvocationTest, HelpPrintsTheUsageLineOnStandardOutput) {
  for (const char* flag : {"-h", "--help"}) {
    const Outcome outcome = invoke({flag});
    ASSERT_TRUE(outcome.invocation.exit_status.has_value());
    EXPECT_EQ(*outcome.invocation.exit_status, 0);
    EXPECT_EQ(outcome.out, "usage: bench_test [n=10000] [threads=1] [repetitions=1] [k=n*3/4]\n");
    EXPECT_EQ(outcome.err, "");
  }
  // Only as the first argument: elsewhere it is text that reads as 0.
  const Outcome later = invoke({"10", "-h"});
  EXPECT_FALSE(later.invocation.exit_status.has_value());
  EXPECT_EQ(later.invocation.arguments.threads, 0);
}

TEST(InvocationTest, NegativeSizeIsRefusedWithAMessageAndStatus2) {
  for (const char* text : {"-1", "-2147483648", "2147483648", "4294967295"}) {
    const Outcome outcome = invoke({text});
    ASSERT_TRUE(outcome.invocation.exit_status.has_value()) << text;
    EXPECT_EQ(*outcome.invocation.exit_status, 2);
    EXPECT_EQ(outcome.out, "");
    const std::string n = std::to_string(outcome.invocation.arguments.n);
    EXPECT_EQ(outcome.err.find("bench_test: n must be 0 or more, got " + n), 0u) << outcome.err;
    EXPECT_NE(outcome.err.find("\nusage: bench_test "), std::string::npos);
  }
}

TEST(InvocationTest, ThreadCountAboveTheProgramsBoundIsRefused) {
  const algobench::Usage bounded{"bench_test", nullptr, 100};
  for (const char* threads : {"101", "2147483647"}) {
    const char* argv[] = {"bench_test", "10", threads};
    std::ostringstream out;
    std::ostringstream err;
    const auto invocation = algobench::parse_invocation(3, argv, bounded, out, err);
    ASSERT_TRUE(invocation.exit_status.has_value()) << threads;
    EXPECT_EQ(*invocation.exit_status, 2);
    EXPECT_EQ(err.str().find(std::string("bench_test: threads must be at most 100, got ") + threads),
              0u);
    EXPECT_EQ(out.str(), "");
  }
  for (const char* threads : {"100", "0", "-5"}) {
    const char* argv[] = {"bench_test", "10", threads};
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_FALSE(algobench::parse_invocation(3, argv, bounded, out, err).exit_status) << threads;
  }
  // Without a bound (the sequential programs) any count is only echoed.
  EXPECT_FALSE(invoke({"10", "2147483647"}).invocation.exit_status.has_value());
}

TEST(InvocationTest, ZeroAndNonNumericSizesRun) {
  for (const char* text : {"0", "abc"}) {
    const Outcome outcome = invoke({text});
    EXPECT_FALSE(outcome.invocation.exit_status.has_value()) << text;
    EXPECT_EQ(outcome.invocation.arguments.n, 0);
  }
}

TEST(SelectionIndexTest, DefaultIsThreeQuartersTruncated) {
  EXPECT_EQ(algobench::default_selection_index(10000), 7500);
  EXPECT_EQ(algobench::default_selection_index(100), 75);
  EXPECT_EQ(algobench::default_selection_index(10), 7);
  EXPECT_EQ(algobench::default_selection_index(3), 2);
  EXPECT_EQ(algobench::default_selection_index(2), 1);
  EXPECT_EQ(algobench::default_selection_index(1), 0);
  EXPECT_EQ(algobench::default_selection_index(0), 0);
}

// Above 715827882, n*3 no longer fits in 32 bits; the index must still be
// three quarters of n and lie within the array.
TEST(SelectionIndexTest, DefaultForLargeSizesDoesNotOverflow) {
  EXPECT_EQ(algobench::default_selection_index(715827882), 536870911);
  EXPECT_EQ(algobench::default_selection_index(715827883), 536870912);
  EXPECT_EQ(algobench::default_selection_index(1000000000), 750000000);
  EXPECT_EQ(algobench::default_selection_index(INT_MAX), 1610612735);
}

TEST(SelectionIndexTest, IndicesFromZeroToNAreAcceptedOthersRefused) {
  std::ostringstream err;
  EXPECT_FALSE(algobench::check_selection_index(0, 10, usage, err).has_value());
  EXPECT_FALSE(algobench::check_selection_index(10, 10, usage, err).has_value());
  EXPECT_FALSE(algobench::check_selection_index(0, 0, usage, err).has_value());
  EXPECT_EQ(err.str(), "");

  for (int k : {11, -1, INT_MIN}) {
    std::ostringstream refused;
    const auto status = algobench::check_selection_index(k, 10, usage, refused);
    ASSERT_TRUE(status.has_value()) << k;
    EXPECT_EQ(*status, 2);
    EXPECT_EQ(
        refused.str(),
        "bench_test: k must lie within 0..n (0..10 for n = 10), got k = " + std::to_string(k) +
            "\nusage: bench_test [n=10000] [threads=1] [repetitions=1] [k=n*3/4]\n");
  }
}

// lrand48 steps X' = (0x5DEECE66D * X + 0xB) mod 2^48 and returns the top 31
// bits. Never seeded, glibc's generator starts from X = 0, so the first value
// is 0. The selection programs must see exactly this sequence, whatever
// srand did.
TEST(Lrand48DataTest, FirstValuesFollowTheDrand48Recurrence) {
  constexpr int n = 1000;
  std::vector<int> data(n, -1);
  algobench::fill_with_lrand48(data.data(), n);
  std::uint64_t x = 0;
  for (int i = 0; i < n; i++) {
    x = (0x5DEECE66DULL * x + 0xBULL) & ((1ULL << 48) - 1);
    ASSERT_EQ(data[i], static_cast<int>(x >> 17)) << "element " << i;
  }
}

TEST(Lrand48DataTest, EmptyArrayIsNotWritten) {
  int sentinel = -7;
  algobench::fill_with_lrand48(&sentinel, 0);
  EXPECT_EQ(sentinel, -7);
}

// Where an array goes in the test: a compiler may leave out an allocation whose
// array nobody uses (clang++ does), and with it the failure the test expects.
double* volatile allocated = nullptr;

TEST(AllocationTest, ImpossibleRequestEndsWithAMessageAndStatus1) {
  // 2^60 doubles: no machine satisfies this, so array new returns nothing.
  EXPECT_EXIT(allocated = algobench::allocate_array<double>(usage, std::int64_t{1} << 60,
                                                            "output"),
              testing::ExitedWithCode(1),
              "bench_test: cannot allocate 9223372036854775808 bytes for the output array");
}

TEST(ReportTest, TimeLinesUseTheDefaultFloatingPointFormat) {
  std::ostringstream os;
  algobench::print_time_line(os, "Time allocate:", 2.19345e-05);
  algobench::print_time_line(os, "Time init:", 0.000227928);
  algobench::print_time_line(os, "Time init:", 12.0);
  EXPECT_EQ(os.str(), "Time allocate:2.19345e-05\nTime init:0.000227928\nTime init:12\n");
}

TEST(ReportTest, ClosingReportHasItsExactBlanks) {
  std::ostringstream os;
  algobench::print_closing_report(os, 4, 1000000, 0.00123456789);
  EXPECT_EQ(os.str(), "Result-> cpu:4  :size: 1000000  :time: 0.00123457\n");
}

TEST(ReportTest, ClosingReportAfterTheFixedSwitchHasNineDecimals) {
  std::ostringstream os;
  os << std::fixed << std::setprecision(9);
  algobench::print_result_line(os, "res = ", 5000);
  algobench::print_closing_report(os, -3, 0, 0.0015);
  EXPECT_EQ(os.str(), "res = 5000\nResult-> cpu:-3  :size: 0  :time: 0.001500000\n");
}

TEST(ReportTest, ResultLineHasNoBlankUnlessTheLabelCarriesOne) {
  std::ostringstream os;
  algobench::print_result_line(os, "size inserted elements =", 5000);
  algobench::print_result_line(os, "pos_found = ", -1);
  EXPECT_EQ(os.str(), "size inserted elements =5000\npos_found = -1\n");
}

}  // namespace
