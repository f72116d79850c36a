// The suite's pseudo-random generator: MT19937 as in its published reference
// implementation (2002 initialisation), wrapped as a class so that each object
// carries its own state. Every program constructs one before filling its data.
#ifndef ALGOBENCH_RANDOM_H
#define ALGOBENCH_RANDOM_H

class Random {
 public:
  // Seeds from the low 32 bits of s.
  explicit Random(unsigned long s);
  // Seeds from a key of `length` words. A length of 0 or less is an empty key:
  // the key array is never read (it may be null) and the state is the one that
  // the one-word key {0} gives.
  Random(unsigned long* key, int length);

  // Seeds from one word; only its low 32 bits are used.
  void init_genrand(unsigned long s);
  // Seeds from `length` words of `key`; a length of 0 or less as in the constructor.
  void init_by_array(unsigned long* key, int length);

  // Uniform integer in [0, 2^32 - 1].
  unsigned long genrand_int32();
  // Uniform integer in [0, 2^31 - 1].
  long genrand_int31();
  // Uniform double in [0, 1].
  double genrand_real1();
  // Uniform double in [0, 1).
  double genrand_real2();
  // Uniform double in (0, 1).
  double genrand_real3();
  // Uniform double in [0, 1) with 53-bit resolution; takes two draws.
  double genrand_res53();

 private:
  static constexpr int N = 624;
  static constexpr int M = 397;
  // A position meaning "never seeded": the next draw seeds with 5489 first.
  static constexpr int unseeded = N + 1;

  void regenerate();

  unsigned long mt[N];  // every word holds a value below 2^32
  int mti = unseeded;
};

#endif  // ALGOBENCH_RANDOM_H
