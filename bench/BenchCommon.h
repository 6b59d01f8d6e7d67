#pragma once
// What the benchmarks share: a private shared-memory root (so that they
// never meet real tables) and the same random keys in the same orders.
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "VexaSwitchLib/runtime/RootPath.h"
#include "VexaSwitchLib/runtime/Types.h"

namespace VexaBench {

struct BenchRoot {
  std::string dir;
  BenchRoot() {
    char tmpl[] = "/dev/shm/vexa_bench.XXXXXX";
    if (::mkdtemp(tmpl)) dir = tmpl;
    Mem::RootPath::shmRootIs(dir);
  }
  ~BenchRoot() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};
inline BenchRoot& benchRoot() {
  static BenchRoot r;
  return r;
}

// n random 64-bit keys, the same for a given seed.
inline std::vector<U64> keys(std::size_t n, U64 seed = 42) {
  std::vector<U64> k(n);
  std::mt19937_64 rng(seed);
  for (auto& x : k) x = rng();
  return k;
}
// The same keys in another fixed random order.
inline std::vector<U64> shuffled(std::vector<U64> k) {
  std::shuffle(k.begin(), k.end(), std::mt19937_64(7));
  return k;
}

}  // namespace VexaBench
