// MT19937 following the reference implementation step for step, so that a
// seed gives exactly the published output sequence on any 64-bit platform:
// the state words are unsigned long and every write is reduced to 32 bits.
#include "algobench/random.h"

namespace {
constexpr unsigned long matrix_a = 0x9908b0dfUL;
constexpr unsigned long upper_mask = 0x80000000UL;
constexpr unsigned long lower_mask = 0x7fffffffUL;
constexpr unsigned long word_mask = 0xffffffffUL;
}  // namespace

Random::Random(unsigned long s) {
  mti = unseeded;
  init_genrand(s);
}

Random::Random(unsigned long* key, int length) { init_by_array(key, length); }

void Random::init_genrand(unsigned long s) {
  mt[0] = s & word_mask;
  for (mti = 1; mti < N; mti++) {
    mt[mti] = (1812433253UL * (mt[mti - 1] ^ (mt[mti - 1] >> 30)) + mti);
    mt[mti] &= word_mask;
  }
}

void Random::init_by_array(unsigned long* key, int length) {
  // The reference reads key[0] on every step when the length is below 1;
  // an empty key instead stands for the single word 0 and is never read.
  unsigned long empty_key[1] = {0};
  if (length < 1) {
    key = empty_key;
    length = 1;
  }
  init_genrand(19650218UL);
  int i = 1;
  int j = 0;
  for (int k = (N > length ? N : length); k; k--) {
    mt[i] = (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 30)) * 1664525UL)) + key[j] + j;
    mt[i] &= word_mask;
    i++;
    j++;
    if (i >= N) {
      mt[0] = mt[N - 1];
      i = 1;
    }
    if (j >= length) j = 0;
  }
  for (int k = N - 1; k; k--) {
    mt[i] = (mt[i] ^ ((mt[i - 1] ^ (mt[i - 1] >> 30)) * 1566083941UL)) - i;
    mt[i] &= word_mask;
    i++;
    if (i >= N) {
      mt[0] = mt[N - 1];
      i = 1;
    }
  }
  mt[0] = 0x80000000UL;
}

void Random::regenerate() {
  static const unsigned long mag01[2] = {0x0UL, matrix_a};
  if (mti == unseeded) init_genrand(5489UL);
  int kk = 0;
  unsigned long y;
  for (; kk < N - M; kk++) {
    y = (mt[kk] & upper_mask) | (mt[kk + 1] & lower_mask);
    mt[kk] = mt[kk + M] ^ (y >> 1) ^ mag01[y & 0x1UL];
  }
  for (; kk < N - 1; kk++) {
    y = (mt[kk] & upper_mask) | (mt[kk + 1] & lower_mask);
    mt[kk] = mt[kk + (M - N)] ^ (y >> 1) ^ mag01[y & 0x1UL];
  }
  y = (mt[N - 1] & upper_mask) | (mt[0] & lower_mask);
  mt[N - 1] = mt[M - 1] ^ (y >> 1) ^ mag01[y & 0x1UL];
  mti = 0;
}

unsigned long Random::genrand_int32() {
  if (mti >= N) regenerate();
  unsigned long y = mt[mti++];
  y ^= (y >> 11);
  y ^= (y << 7) & 0x9d2c5680UL;
  y ^= (y << 15) & 0xefc60000UL;
  y ^= (y >> 18);
  return y;
}

long Random::genrand_int31() { return static_cast<long>(genrand_int32() >> 1); }

double Random::genrand_real1() {
  return static_cast<double>(genrand_int32()) * (1.0 / 4294967295.0);
}

double Random::genrand_real2() {
  return static_cast<double>(genrand_int32()) * (1.0 / 4294967296.0);
}

double Random::genrand_real3() {
  return (static_cast<double>(genrand_int32()) + 0.5) * (1.0 / 4294967296.0);
}

double Random::genrand_res53() {
  const unsigned long a = genrand_int32() >> 5;
  const unsigned long b = genrand_int32() >> 6;
  return (static_cast<double>(a) * 67108864.0 + static_cast<double>(b)) *
         (1.0 / 9007199254740992.0);
}
