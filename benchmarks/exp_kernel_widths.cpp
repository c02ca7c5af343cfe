// The exp-bound kernels (the peak model, its Jacobian, the response builder's fill) on the fused
// sequence four lanes and eight lanes wide, in one process without Python, the two widths
// alternating so that a shared machine's noise hits both: the median ms per call of each and the
// median of the ratios of the pairs. Compiled as exp_vector_loop.cpp:
//
//   c++ -std=c++20 -O3 -ffp-contract=off -fno-math-errno -Wno-psabi
//       -I vexora/utils/numerics/kernels -I build/release/vexora/utils/numerics/kernels
//       benchmarks/exp_kernel_widths.cpp -o /tmp/exp_kernel_widths && /tmp/exp_kernel_widths [REPEATS]
//
// Needs a processor with AVX-512 (the eight-lane target) and a build with eight lanes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "core/peaks.hpp"
#include "core/response.hpp"
#include "simd/exp/path.hpp"

namespace ee = vexora::simd::exp;
namespace peaks = vexora::core::peaks;
namespace response = vexora::core::response;
using vexora::core::Index;
using vexora::core::View1;
using vexora::core::View2;

template <int width>
using Fused = ee::SequenceExp<ee::fused, width>;

constexpr double e_max = 3000.0;

/// Samples over 0-3000 keV and peaks with amplitudes in 1-100, centres anywhere, variances in
/// 1-50 keV² or all `variance` (as benchmarks/workloads.py spectrum_peaks).
struct Peaks {
    std::vector<double> x, params;
    Peaks(Index m, Index n, double variance) : x(m), params(3 * n) {
        std::mt19937_64 generator(0);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        for (Index j = 0; j < m; ++j) {
            x[j] = e_max * static_cast<double>(j) / static_cast<double>(m - 1);
        }
        for (Index i = 0; i < n; ++i) {
            params[3 * i] = 1.0 + 99.0 * unit(generator);
            params[3 * i + 1] = e_max * unit(generator);
            params[3 * i + 2] = variance > 0.0 ? variance : 1.0 + 49.0 * unit(generator);
        }
    }
    View1<const double> view() const { return {params.data(), static_cast<Index>(params.size()), sizeof(double)}; }
    Index peaks() const { return static_cast<Index>(params.size() / 3); }
};

template <int width>
void model(const Peaks& p, std::vector<double>& y) {
    std::fill(y.begin(), y.end(), 0.0);
    ee::on_width_target<width>([&] {
        peaks::multi_gaussian<Fused<width>>(p.x.data(), static_cast<Index>(p.x.size()), p.view(), p.peaks(), y.data());
    });
}

template <int width>
void jacobian(const Peaks& p, std::vector<double>& J) {
    const Index m = static_cast<Index>(p.x.size()), cols = static_cast<Index>(p.params.size());
    const View2<double> view{J.data(), m, cols, static_cast<Index>(cols * sizeof(double)), sizeof(double)};
    ee::on_width_target<width>([&] {
        peaks::multi_gaussian_jacobian<Fused<width>>(p.x.data(), m, p.view(), p.peaks(), view);
    });
}

/// A detector's response on n bins over 0-3000 keV, FWHM `fwhm` at `at` keV scaling as E^(3/2).
struct Response {
    std::vector<double> axis, sigma, values;
    std::vector<response::Window> windows;
    std::vector<std::int64_t> ends;
    std::vector<std::int32_t> columns;
    Response(Index n, double fwhm, double at) : axis(n), sigma(n), windows(n), ends(n + 1) {
        const double k = fwhm / std::pow(at, 1.5);
        for (Index i = 0; i < n; ++i) {
            axis[i] = (static_cast<double>(i) + 0.5) * (e_max / static_cast<double>(n));
            sigma[i] = response::get_sigma(k, axis[i]);
        }
        response::sorted_windows(view(axis), view(sigma), 5.0, windows.data(), 0, n);
        for (Index i = 0; i < n; ++i) {
            ends[i + 1] = ends[i] + std::max<Index>(windows[i].high - windows[i].low, 0);
        }
        columns.resize(ends[n]);
        values.resize(ends[n]);
    }
    static View1<const double> view(const std::vector<double>& v) {
        return {v.data(), static_cast<Index>(v.size()), sizeof(double)};
    }
};

template <int width>
void fill(Response& r) {
    ee::on_width_target<width>([&] {
        response::fill_response<Fused<width>>(Response::view(r.axis), Response::view(r.sigma), r.windows.data(),
                                              r.ends.data(), r.columns.data(), r.values.data(), 0,
                                              static_cast<Index>(r.axis.size()));
    });
}

double seconds(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

/// Times `four` and `eight` alternately (forwards, then backwards), `repeats` pairs; checks that
/// they wrote the same bits.
void compare(const char* name, int repeats, const std::function<void()>& four, const std::function<void()>& eight,
             const std::function<std::vector<double>()>& result) {
    four();
    const std::vector<double> by_four = result();
    eight();
    const bool same = by_four.size() == result().size() &&
                      std::equal(by_four.begin(), by_four.end(), result().begin(), [](double a, double b) {
                          return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
                      });
    std::vector<double> t4, t8, ratio;
    for (int r = 0; r < repeats; ++r) {
        double a, b;
        if (r % 2 == 0) {
            a = seconds(four);
            b = seconds(eight);
        } else {
            b = seconds(eight);
            a = seconds(four);
        }
        t4.push_back(a);
        t8.push_back(b);
        ratio.push_back(a / b);
    }
    std::printf("%-40s %9.3f %9.3f %7.2fx  %s\n", name, 1e3 * median(t4), 1e3 * median(t8), median(ratio),
                same ? "same bits" : "DIFFERENT BITS");
}

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 41;
    if (!ee::processor_supports_exp8_target()) {
        std::printf("no AVX-512 on this processor\n");
        return 0;
    }
    std::printf("%-40s %9s %9s %8s\n", "median ms per call", "4 lanes", "8 lanes", "4/8");
    struct Case {
        const char* name;
        Index m, n;
        double variance;  // 0: 1-50 keV²
    };
    const Case cases[] = {
        {"m 100000, 1 peak, var 1-50", 100000, 1, 0.0},   {"m 100000, 10 peaks, var 1-50", 100000, 10, 0.0},
        {"m 100000, 50 peaks, var 1-50", 100000, 50, 0.0}, {"m 1000, 10 peaks, var 1-50", 1000, 10, 0.0},
        {"m 100000, 10 peaks, sigma 2", 100000, 10, 4.0},  {"m 100000, 10 peaks, sigma 200", 100000, 10, 40000.0},
    };
    for (const Case& c : cases) {
        const Peaks p(c.m, c.n, c.variance);
        std::vector<double> y(c.m), J(static_cast<std::size_t>(c.m * 3 * c.n));
        char name[96];
        std::snprintf(name, sizeof name, "model %s", c.name);
        compare(
            name, repeats, [&] { model<4>(p, y); }, [&] { model<8>(p, y); }, [&] { return y; });
        std::snprintf(name, sizeof name, "jacobian %s", c.name);
        compare(
            name, repeats, [&] { jacobian<4>(p, J); }, [&] { jacobian<8>(p, J); }, [&] { return J; });
    }
    for (const auto& [detector, n, fwhm, at] : {std::tuple{"NaI", 4096, 46.0, 662.0}, std::tuple{"HPGe", 16384, 2.0, 1332.0}}) {
        Response r(n, fwhm, at);
        char name[96];
        std::snprintf(name, sizeof name, "builder fill %s n %d (%lld entries)", detector, n,
                      static_cast<long long>(r.ends[n]));
        compare(
            name, repeats, [&] { fill<4>(r); }, [&] { fill<8>(r); }, [&] { return r.values; });
    }
}
