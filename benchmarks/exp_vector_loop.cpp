// The fused vector exp in a plain loop over 100,000 values of each range, without Python: the
// fastest of 200 passes per range, which a loaded machine disturbs least. Compiled against the
// kernels of any revision, so that two can be timed one after the other:
//
//   c++ -std=c++20 -O3 -ffp-contract=off -fno-math-errno -Wno-psabi
//       -I vexora/utils/numerics/kernels -I build/release/vexora/utils/numerics/kernels
//       benchmarks/exp_vector_loop.cpp -o /tmp/exp_vector_loop && /tmp/exp_vector_loop [RANGE [LANES]]
//
// (for another revision, -I the kernels folder of `git archive REV vexora/utils/numerics/kernels`).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "simd/exp/path.hpp"

namespace ee = vexora::simd::exp;
using namespace vexora::simd;

[[gnu::noinline, gnu::target("avx2,fma")]] void run4(const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; i += 4) {
        store4(y + i, ee::exp4<ee::fused>(load4(x + i)));
    }
}

#if VEXORA_EIGHT_LANES
// Eight lanes: the revisions that have them.
[[gnu::noinline, gnu::target("avx2,fma,avx512f,avx512dq,avx512vl")]] void run8(const double* x, double* y,
                                                                               std::size_t n) {
    for (std::size_t i = 0; i < n; i += 8) {
        store(y + i, ee::exp8<ee::fused>(load<Double8>(x + i)));
    }
}
#endif

int main(int argc, char** argv) {
    // [RANGE [LANES]]: one range (-1 for all), 4 or 8 lanes (8 by default where built and run).
    const int only = argc > 1 ? std::atoi(argv[1]) : -1;
#if VEXORA_EIGHT_LANES
    const bool eight = (argc > 2 ? std::atoi(argv[2]) : 8) == 8 && ee::processor_supports_exp8_target();
    const auto run = eight ? run8 : run4;
#else
    const bool eight = false;
    const auto run = run4;
#endif
    std::printf("%d lanes\n", eight ? 8 : 4);
    struct Range {
        const char* name;
        double low, high;  // both 0: three lanes in [-50, 0] and one at -5000
    };
    const Range ranges[] = {{"[-50, 0]", -50, 0},          {"[-745, -50]", -745, -50},
                            {"[-1e5, -746]", -1e5, -746},  {"subnormal results", -745.2, -708.3},
                            {"[-700, -512]", -700, -512},  {"3 in [-50,0], 1 at -5000", 0, 0}};
    std::mt19937_64 generator(1);
    const std::size_t n = 100000;
    for (int r = 0; r < static_cast<int>(std::size(ranges)); ++r) {
        if (only >= 0 && r != only) {
            continue;
        }
        const Range& range = ranges[r];
        std::vector<double> x(n), y(n);
        std::uniform_real_distribution<double> uniform(range.low, range.high), near(-50.0, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = range.low == 0 && range.high == 0 ? (i % 4 == 3 ? -5000.0 : near(generator)) : uniform(generator);
        }
        double best = 1e300;
        for (int pass = 0; pass < 200; ++pass) {
            const auto start = std::chrono::steady_clock::now();
            run(x.data(), y.data(), n);
            const auto end = std::chrono::steady_clock::now();
            best = std::min(best, std::chrono::duration<double, std::nano>(end - start).count() / n);
        }
        std::printf("%-26s %.3f ns/value\n", range.name, best);
    }
}
