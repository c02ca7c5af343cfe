// The inputs on which the process's exp must equal a sequence, bit for bit, before the kernels
// run that sequence: the probe, which tells every fusion choice apart, and a self-check sampled
// where the kernels evaluate exp. A C library whose exp differs from the sequence only on inputs
// the check never tries is not caught; the families below put the inputs where the kernels'
// exponents fall, so that such a difference is unlikely to reach a kernel's result unseen.
//
// Each input is a function of its index (the random ones are drawn from a counter-based
// generator), so the check runs in small blocks on the stack, evaluating the C library's exp once
// per input for all the sequences.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "../vector.hpp"
#include "sequence.hpp"

namespace vexora::simd::exp {

/// Inputs on which fusing or not fusing each multiply-add changes the result, and edge cases.
inline constexpr double probe_inputs[] = {
#include "probe_inputs.inc"
    __builtin_inf(),
    -__builtin_inf(),
    __builtin_nan(""),
    -__builtin_nan(""),
};

namespace self_check {

/*
 * The families of the self-check, in order, each with its count:
 *
 *   spread     - uniform in [-50, 0] and [-745, 710], subnormal results in [-745.2, -708.3],
 *                within 64 ulps of +-512, +-1024 and +-smallest_ordinary
 *   near_zero  - (-1, 0) on a log scale down to -smallest_ordinary, the smallest magnitude the
 *                sequence evaluates (below it exp is 1 + x): one input in each of as many equal
 *                slices of the representations between -smallest_ordinary and -1, which are
 *                evenly spaced in log2 |x| within each binade; every binade gets about 19
 *   gaussian   - -(k/8)^2 / 2 for k = 1, 2, ... while exp of it is not zero (k/8 < 38.6),
 *                which holds -k^2 / 2 for k = 1..38: the Gaussian at whole and eighth widths
 *   kernels    - the exponents the response builder and the peak model evaluate on detector-like
 *                axes: x = (axis[j] - axis[c]) / sigma, (x * -0.5) * x (the builder), and
 *                ((-0.5 * d) * d) / sigma^2 with d = axis[j] - mu (the model), axis[j] = j * h
 *                as np.linspace(0, E, n) makes it, sigma / h log-uniform in [1/4, 64),
 *                |j - c| <= 5 sigma / h (about a quarter of them in [-1, 0))
 */
inline constexpr std::size_t spread = 3072, near_zero = 1024, gaussian = 308, kernels = 2048;
inline constexpr std::uint64_t seed = 0x9e3779b97f4a7c15;
inline constexpr std::size_t probes = std::size(probe_inputs);
inline constexpr std::size_t count = probes + spread + near_zero + gaussian + kernels;

static_assert(((gaussian + 1) * 0.125) * ((gaussian + 1) * 0.125) * 0.5 > 745.2 &&
                  (gaussian * 0.125) * (gaussian * 0.125) * 0.5 < 745.1,
              "exp(-(k/8)^2 / 2) is zero just after k = gaussian");

/// The n-th number of the splitmix64 stream starting at `start`: any draw costs the same.
inline std::uint64_t draw(std::uint64_t start, std::uint64_t n) {
    std::uint64_t z = start + (n + 1) * 0x9e3779b97f4a7c15;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

/// Uniform in [0, 1).
inline double unit(std::uint64_t random) { return static_cast<double>(random >> 11) * 0x1p-53; }

/// Input i of the self-check's families (not of the probe), i < count - probes; the random
/// ones drawn from the stream starting at `start`.
inline double input(std::size_t i, std::uint64_t start) {
    // Eight draws per input, each input from its own part of the stream.
    const auto random = [&](unsigned k) { return draw(start, std::uint64_t{i} * 8 + k); };
    const auto uniform = [&](unsigned k, double low, double high) { return low + (high - low) * unit(random(k)); };
    if (i < spread) {
        constexpr double thresholds[] = {512.0, -512.0, 1024.0, -1024.0, smallest_ordinary, -smallest_ordinary};
        switch (i % 5) {
            case 0: return uniform(0, -50.0, 0.0);
            case 1: return uniform(0, -745.0, 710.0);
            case 2: return uniform(0, -745.2, -708.3);
            case 3: return uniform(0, -745.0, 710.0);
            default: {  // within 64 ulps of a threshold
                const std::uint64_t at = to_bits(thresholds[random(0) % std::size(thresholds)]) + random(1) % 129 - 64;
                return from_bits(at);
            }
        }
    }
    i -= spread;
    if (i < near_zero) {
        constexpr std::uint64_t low = std::bit_cast<std::uint64_t>(smallest_ordinary);
        constexpr std::uint64_t slice = (std::bit_cast<std::uint64_t>(1.0) - low) / near_zero;
        return -from_bits(low + i * slice + random(0) % slice);
    }
    i -= near_zero;
    if (i < gaussian) {
        const double x = static_cast<double>(i + 1) * 0.125;
        return (x * -0.5) * x;
    }
    i -= gaussian;
    // Axes of 1024 to 65536 bins over 1.5 to 10 MeV in keV, or over the channel numbers (h = 1).
    constexpr double extents[] = {1500.0, 2000.0, 3000.0, 10000.0, 0.0};
    const double bins = static_cast<double>(std::uint64_t{1024} << random(0) % 7);
    const double extent = extents[random(1) % std::size(extents)];
    const double h = (extent > 0.0 ? extent : bins - 1.0) / (bins - 1.0);
    const double sigma = from_bits(std::bit_cast<std::uint64_t>(0.25) + random(2) % (std::uint64_t{8} << 52)) * h;
    const double reach = std::ceil(5.0 * sigma / h);
    const double c = std::floor(uniform(3, 0.0, bins));
    const double j = c + std::floor(uniform(4, -reach, reach + 1.0));
    if (i % 2 == 0) {
        const double x = (j * h - c * h) / sigma;
        return (x * -0.5) * x;
    }
    const double d = j * h - (c * h + uniform(5, -0.5, 0.5) * h);
    return ((-0.5 * d) * d) / (sigma * sigma);
}

/// Whether exp_scalar<mask> and the sequence `width` lanes at a time give `library` on all of
/// x[0..n), n a multiple of the width.
template <unsigned mask, int width>
bool reproduces(const double* x, const std::uint64_t* library, std::size_t n) {
    using V = typename Vectors<width>::Double;
    for (std::size_t i = 0; i < n; i += width) {
        const V vector = exp_lanes<mask>(load<V>(x + i));
        for (std::size_t k = 0; k < width; ++k) {
            if (library[i + k] != to_bits(exp_scalar<mask>(x[i + k])) || library[i + k] != to_bits(vector[k])) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace self_check

/*
 * Clears agree[s] for each of `sequences` that differs from the process's exp on any input of
 * the probe or the self-check, its vectors `width` lanes wide; stops early once every one does.
 * Called on the target of that width.
 */
template <int width>
void check_sequences(bool (&agree)[sequence_count]) {
    namespace sc = self_check;
    constexpr std::size_t block = 64;
    static_assert(block % width == 0);
    double x[block];
    // Every input reaches the C library's exp through a volatile read, so that no call can be
    // evaluated at compile time (the compiler would round correctly, which the C library does not).
    const volatile double* x_read = x;
    std::uint64_t library[block];
    for (std::size_t start = 0; start < sc::count; start += block) {
        // A short last block repeats its last input.
        for (std::size_t k = 0; k < block; ++k) {
            const std::size_t i = std::min(start + k, sc::count - 1);
            x[k] = i < sc::probes ? probe_inputs[i] : sc::input(i - sc::probes, sc::seed);
            library[k] = to_bits(std::exp(x_read[k]));
        }
        bool any = false;
        for_each_sequence([&]<unsigned mask>(std::size_t s) {
            agree[s] = agree[s] && sc::reproduces<mask, width>(x, library, block);
            any = any || agree[s];
        });
        if (!any) {
            return;
        }
    }
}

}  // namespace vexora::simd::exp
