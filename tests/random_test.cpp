// The generator must reproduce MT19937's published output exactly: the
// programs' seeds and any future data drawn from it depend on that sequence.
#include "algobench/random.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "algobench/harness.h"

namespace {

// The reference implementation's own check: the four-word key and the first
// outputs its published test run prints.
TEST(RandomTest, FourWordKeyGivesThePublishedReferenceSequence) {
  unsigned long key[] = {0x123, 0x234, 0x345, 0x456};
  Random random(key, 4);
  const unsigned long expected[] = {1067595299UL, 955945823UL, 477289528UL, 4107218783UL,
                                    4228976476UL};
  for (unsigned long value : expected) EXPECT_EQ(random.genrand_int32(), value);
}

// std::mt19937 is seeded exactly as init_genrand, so it is an independent
// reference for the seeding, the regeneration and the tempering, across many
// regenerations of the 624-word block.
TEST(RandomTest, OneWordSeedsMatchTheStandardLibraryEngine) {
  for (unsigned long seed : {5489UL, 0UL, 1UL, 42UL, 4294967295UL}) {
    Random random(seed);
    std::mt19937 reference(static_cast<std::mt19937::result_type>(seed));
    for (int i = 0; i < 5000; i++) {
      ASSERT_EQ(random.genrand_int32(), reference()) << "seed " << seed << ", draw " << i;
    }
  }
}

TEST(RandomTest, DefaultSeedGivesTheStandardTenThousandthValue) {
  Random random(5489);
  unsigned long value = 0;
  for (int i = 0; i < 10000; i++) value = random.genrand_int32();
  EXPECT_EQ(value, 4123659995UL);
}

TEST(RandomTest, SeedsReduceToTheirLow32Bits) {
  Random wide((1UL << 32) + 7);
  Random narrow(7);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(wide.genrand_int32(), narrow.genrand_int32());
}

// The programs seed with repetitions + 42; a negative result is sign-extended
// to the seed type and then reduced to 32 bits.
TEST(RandomTest, NegativeSeedIsSignExtendedThenReduced) {
  EXPECT_EQ(algobench::seed_for(-50), static_cast<unsigned long>(-8L));
  Random random(algobench::seed_for(-50));
  std::mt19937 reference(0xfffffff8U);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(random.genrand_int32(), reference());
}

TEST(RandomTest, SeedOfTheLargestRepetitionCountWrapsInsteadOfOverflowing) {
  EXPECT_EQ(algobench::seed_for(INT_MAX), static_cast<unsigned long>(INT_MIN + 41L));
  EXPECT_EQ(algobench::seed_for(1), 43UL);
}

TEST(RandomTest, EmptyKeyIsNeverReadAndSeedsAsTheKeyZero) {
  unsigned long zero[] = {0};
  Random from_zero(zero, 1);
  Random from_null(nullptr, 0);
  Random from_negative(nullptr, -3);
  for (int i = 0; i < 1000; i++) {
    const unsigned long expected = from_zero.genrand_int32();
    ASSERT_EQ(from_null.genrand_int32(), expected);
    ASSERT_EQ(from_negative.genrand_int32(), expected);
  }
}

TEST(RandomTest, KeyLongerThanTheStateUsesEveryWord) {
  unsigned long long_key[700];
  for (int i = 0; i < 700; i++) long_key[i] = static_cast<unsigned long>(i) * 2654435761UL;
  Random full(long_key, 700);
  long_key[699] ^= 1;  // a word past the state size must still change the state
  Random changed(long_key, 700);
  bool differs = false;
  for (int i = 0; i < 10 && !differs; i++)
    differs = full.genrand_int32() != changed.genrand_int32();
  EXPECT_TRUE(differs);
}

TEST(RandomTest, CopiesContinueIndependentlyWithTheSameSequence) {
  Random original(2024);
  for (int i = 0; i < 700; i++) original.genrand_int32();
  Random copy = original;
  for (int i = 0; i < 1000; i++) ASSERT_EQ(copy.genrand_int32(), original.genrand_int32());
}

// Each derived form is one fixed formula of the 32-bit draw(s); a twin
// generator supplies the draws the form consumed.
TEST(RandomTest, DerivedFormsFollowTheirFormulasAndStayInTheirRanges) {
  Random random(7);
  Random twin(7);
  for (int i = 0; i < 20000; i++) {
    const long int31 = random.genrand_int31();
    ASSERT_EQ(int31, static_cast<long>(twin.genrand_int32() >> 1));
    ASSERT_GE(int31, 0);
    ASSERT_LE(int31, 2147483647L);

    const double real1 = random.genrand_real1();
    ASSERT_EQ(real1, static_cast<double>(twin.genrand_int32()) * (1.0 / 4294967295.0));
    ASSERT_GE(real1, 0.0);
    ASSERT_LE(real1, 1.0);

    const double real2 = random.genrand_real2();
    ASSERT_EQ(real2, static_cast<double>(twin.genrand_int32()) / 4294967296.0);
    ASSERT_GE(real2, 0.0);
    ASSERT_LT(real2, 1.0);

    const double real3 = random.genrand_real3();
    ASSERT_EQ(real3, (static_cast<double>(twin.genrand_int32()) + 0.5) / 4294967296.0);
    ASSERT_GT(real3, 0.0);
    ASSERT_LT(real3, 1.0);

    const double res53 = random.genrand_res53();
    const unsigned long a = twin.genrand_int32() >> 5;
    const unsigned long b = twin.genrand_int32() >> 6;
    ASSERT_EQ(res53, (a * 67108864.0 + b) / 9007199254740992.0);
    ASSERT_GE(res53, 0.0);
    ASSERT_LT(res53, 1.0);
  }
}

}  // namespace
