// Counts, over about 1.1e8 inputs of every range the kernels evaluate exp on, where each sequence
// of the exact exp (simd/exp/sequence.hpp), four values at a time and one at a time, differs from
// this process's C library exp; and which path the kernels' selection picks in this process.
// scripts/prove-exp-aarch64 builds and runs it on aarch64 under emulation; it builds natively too:
//
//   g++ -std=c++20 -O3 -ffp-contract=off -fno-math-errno -Wno-psabi -pthread
//       -I vexora/utils/numerics/kernels -I build/release/vexora/utils/numerics/kernels
//       scripts/prove-exp.cpp -o /tmp/prove-exp && /tmp/prove-exp [inputs per family / 1e6 ...]
//
// Every input is a function of its family and index (counter-based draws), so the families are
// split between threads and the counts do not depend on how.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

#include "simd/exp/path.hpp"

namespace {

namespace ee = vexora::simd::exp;
namespace sc = ee::self_check;
using ee::from_bits;
using ee::to_bits;

constexpr std::uint64_t seed = 0x5eed0f2026120901;

double unit(std::uint64_t family, std::uint64_t i, unsigned k) {
    return sc::unit(sc::draw(seed + family * 0x1000193, i * 4 + k));
}
double uniform(std::uint64_t family, std::uint64_t i, double low, double high) {
    return low + (high - low) * unit(family, i, 0);
}

constexpr double ln2 = 0x1.62e42fefa39efp-1;
// Where exp changes branch or its result changes range, each side of zero.
constexpr double thresholds[] = {
    0x1p-54, 0x1p-53, 1.0, 512.0, 1024.0, 0x1.62e42fefa39efp+9 /* overflow */, 1022 * ln2 /* subnormal results */,
    1074 * ln2, 1075 * ln2 /* the last non-zero result */, std::numeric_limits<double>::max(),
    std::numeric_limits<double>::min(),
};
constexpr std::uint64_t threshold_ulps = 1 << 16;  // each side
// The reduction's rounding boundaries (k + 1/2) ln2/128 for every k of [-745.2, 709.8].
constexpr std::int64_t first_k = -137'611, last_k = 131'076;
constexpr std::uint64_t boundary_ulps = 16;  // each side

struct Family {
    const char* name;
    std::uint64_t count;
    double (*input)(std::uint64_t family, std::uint64_t i);
};

// Counts in millions of inputs, scaled by the command line.
Family families[] = {
    {"uniform [-50, 0]", 30, [](std::uint64_t f, std::uint64_t i) { return uniform(f, i, -50.0, 0.0); }},
    {"uniform [-745, 710]", 20, [](std::uint64_t f, std::uint64_t i) { return uniform(f, i, -745.0, 710.0); }},
    {"subnormal results [-745.2, -708.3]", 10,
     [](std::uint64_t f, std::uint64_t i) { return uniform(f, i, -745.2, -708.3); }},
    {"-u^2/2, u uniform in [0, 38.6]", 10,
     [](std::uint64_t f, std::uint64_t i) {
         const double u = uniform(f, i, 0.0, 38.6);
         return (u * -0.5) * u;
     }},
    {"(-1, 0) on a log scale to -2^-54", 10,
     [](std::uint64_t f, std::uint64_t i) {
         constexpr std::uint64_t low = std::bit_cast<std::uint64_t>(0x1p-54), high = std::bit_cast<std::uint64_t>(1.0);
         return -from_bits(low + sc::draw(seed + f, i) % (high - low));
     }},
    {"beyond 512: [512, 709.8] and [-1100, -512]", 10,
     [](std::uint64_t f, std::uint64_t i) {
         return i % 2 == 0 ? uniform(f, i, 512.0, 709.8) : uniform(f, i, -1100.0, -512.0);
     }},
    {"every reduction boundary (k + 1/2) ln2/128 +-16 ulps", 0,
     [](std::uint64_t, std::uint64_t i) {
         const std::int64_t k = first_k + static_cast<std::int64_t>(i / (2 * boundary_ulps + 1));
         const std::int64_t ulps = static_cast<std::int64_t>(i % (2 * boundary_ulps + 1)) - boundary_ulps;
         return from_bits(to_bits((static_cast<double>(k) + 0.5) / ee::InvLn2N) + static_cast<std::uint64_t>(ulps));
     }},
    {"thresholds +-65536 ulps, both signs", 0,
     [](std::uint64_t, std::uint64_t i) {
         const std::uint64_t around = 2 * threshold_ulps + 1;
         const double t = thresholds[i / (2 * around)];
         const double centre = (i / around) % 2 == 0 ? t : -t;
         return from_bits(to_bits(centre) + i % around - threshold_ulps);
     }},
    {"any bits: zeros, subnormals, every exponent, infinities, NaNs", 2,
     [](std::uint64_t f, std::uint64_t i) {
         const std::uint64_t bits = sc::draw(seed + f, i);
         switch (i % 4) {
             case 0: return from_bits(bits & 0x800fffffffffffff);  // zeros and subnormals
             case 1: return from_bits(bits | 0x7ff0000000000000);  // infinities and NaNs
             default: return from_bits(bits);
         }
     }},
    {"lanes mixed: each input from any family above", 5, nullptr},
};
constexpr std::size_t family_count = std::size(families);
constexpr std::size_t mixed = family_count - 1;

double input(std::size_t family, std::uint64_t i) {
    if (family == mixed) {
        const std::size_t from = sc::draw(seed + family, i) % mixed;
        return families[from].input(from, sc::draw(seed - family, i) % families[from].count);
    }
    return families[family].input(family, i);
}

// Mismatches per family and sequence, four at a time and one at a time.
struct Counts {
    std::atomic<std::uint64_t> vector[ee::sequence_count], scalar[ee::sequence_count];
};
Counts counts[family_count];

void run(std::size_t family, std::uint64_t begin, std::uint64_t end) {
    constexpr std::size_t block = 1024;
    double x[block];
    const volatile double* x_read = x;  // no call to exp can be evaluated at compile time
    std::uint64_t library[block];
    std::uint64_t vector[ee::sequence_count] = {}, scalar[ee::sequence_count] = {};
    for (std::uint64_t start = begin; start < end; start += block) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block, end - start));
        for (std::size_t k = 0; k < block; ++k) {
            x[k] = input(family, start + std::min<std::uint64_t>(k, n - 1));  // a short block repeats its last
            library[k] = to_bits(std::exp(x_read[k]));
        }
        ee::on_exp_target([&] {
            ee::for_each_sequence([&]<unsigned mask>(std::size_t s) {
                for (std::size_t k = 0; k < n; k += vexora::simd::lanes) {
                    const vexora::simd::Double4 y = ee::exp4<mask>(vexora::simd::load4(x + k));
                    for (std::size_t lane = 0; lane < vexora::simd::lanes && k + lane < n; ++lane) {
                        vector[s] += to_bits(y[lane]) != library[k + lane];
                        scalar[s] += to_bits(ee::exp_scalar<mask>(x[k + lane])) != library[k + lane];
                    }
                }
            });
        });
    }
    for (std::size_t s = 0; s < ee::sequence_count; ++s) {
        counts[family].vector[s] += vector[s];
        counts[family].scalar[s] += scalar[s];
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    const unsigned threads = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 2;
    for (Family& f : families) {
        f.count = static_cast<std::uint64_t>(static_cast<double>(f.count) * 1e6 * scale);
    }
    // These two enumerate their inputs: all of them, or the first part for a shorter run.
    const auto part = [&](std::uint64_t all) { return static_cast<std::uint64_t>(all * std::min(scale, 1.0)); };
    families[6].count = part(static_cast<std::uint64_t>(last_k - first_k + 1) * (2 * boundary_ulps + 1));
    families[7].count = part(std::size(thresholds) * 2 * (2 * threshold_ulps + 1));

    const auto began = std::chrono::steady_clock::now();
    const ee::Path path = ee::selected_path();
    const double choosing = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
#if defined(__GLIBC__)
    std::printf("C library: glibc %s\n", gnu_get_libc_version());
#endif
    std::printf("path the kernels select in this process: %s (probe and self-check: %.3f s)\n", ee::path_name(path),
                choosing);

    // Pieces of 2^20 inputs, taken in turn by the threads.
    constexpr std::uint64_t piece = 1 << 20;
    std::vector<std::pair<std::size_t, std::uint64_t>> pieces;
    for (std::size_t f = 0; f < family_count; ++f) {
        for (std::uint64_t start = 0; start < families[f].count; start += piece) {
            pieces.emplace_back(f, start);
        }
    }
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < std::max(threads, 1u); ++t) {
        workers.emplace_back([&] {
            for (std::size_t p; (p = next++) < pieces.size();) {
                const auto [f, start] = pieces[p];
                run(f, start, std::min(start + piece, families[f].count));
            }
        });
    }
    for (std::thread& w : workers) {
        w.join();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    std::printf("%-62s %11s", "inputs", "count");
    for (const ee::Variant& v : ee::sequences) {
        std::printf(" %25s", v.name);
    }
    std::printf("\n%-62s %11s", "", "");
    for (std::size_t s = 0; s < ee::sequence_count; ++s) {
        std::printf(" %25s", "vector / scalar differ");
    }
    std::printf("\n");
    std::uint64_t total = 0, vector_total[ee::sequence_count] = {}, scalar_total[ee::sequence_count] = {};
    for (std::size_t f = 0; f < family_count; ++f) {
        std::printf("%-62s %11" PRIu64, families[f].name, families[f].count);
        total += families[f].count;
        for (std::size_t s = 0; s < ee::sequence_count; ++s) {
            std::printf(" %12" PRIu64 " / %10" PRIu64, counts[f].vector[s].load(), counts[f].scalar[s].load());
            vector_total[s] += counts[f].vector[s];
            scalar_total[s] += counts[f].scalar[s];
        }
        std::printf("\n");
    }
    std::printf("%-62s %11" PRIu64, "all", total);
    for (std::size_t s = 0; s < ee::sequence_count; ++s) {
        std::printf(" %12" PRIu64 " / %10" PRIu64, vector_total[s], scalar_total[s]);
    }
    std::printf("\n%.1f s on %u threads\n", seconds, threads);
    // Success: the selected sequence, vector and scalar, equals the C library on every input.
    if (path == ee::Path::libm) {
        std::printf("the kernels stay on the C library's exp here: no sequence to prove\n");
        return 1;
    }
    const auto selected = static_cast<std::size_t>(path);
    const bool equal = vector_total[selected] == 0 && scalar_total[selected] == 0;
    std::printf("%s: %s on all %" PRIu64 " inputs\n", ee::path_name(path), equal ? "equal to the C library" : "DIFFERS",
                total);
    return equal ? 0 : 1;
}
