// Which exp the kernels use in this process, and the one place that runs a kernel on it.
//
// The vector sequence is used only where it is proven, in the running process, to return what
// the process's own exp returns: GNU libc 2.28 or later (the releases with the table-driven exp),
// a processor with the instructions the sequence is compiled for, a probe whose inputs tell
// every fusion choice apart, and a self-check over the ranges the kernels use. Anything else,
// or VEXORA_EXACT_EXP=libm, keeps the kernels on the C library's exp.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include "../vector.hpp"
#include "sequence.hpp"

namespace vexora::simd::exp {

enum class Path {
    libm,     ///< the C library's exp, one call per value
    fused,    ///< exp4<fused>: the C library runs its variant with fused multiply-adds
    unfused,  ///< exp4<unfused>: the C library runs a variant without them
};

inline const char* path_name(Path p) {
    switch (p) {
        case Path::fused:
            return "fused";
        case Path::unfused:
            return "unfused";
        case Path::libm:
            break;
    }
    return "libm";
}


// ---------------------------------------------------------------------------------------------
// The kernels' view of an exp: one value (`scalar`) or four (`vector`).

/// The C library's exp, one call per value.
struct LibmExp {
    static constexpr bool sequence = false;
    static double scalar(double x) { return std::exp(x); }
    VEXORA_VECTOR_HELPER static Double4 vector(Double4 x) {
        return Double4{std::exp(x[0]), std::exp(x[1]), std::exp(x[2]), std::exp(x[3])};
    }
};

/// The table-driven sequence with the multiply-adds of `mask` fused.
template <unsigned mask>
struct SequenceExp {
    static constexpr bool sequence = true;
    [[gnu::always_inline]] static double scalar(double x) { return exp_scalar<mask>(x); }
    VEXORA_VECTOR_HELPER static Double4 vector(Double4 x) { return exp4<mask>(x); }
};

/// Runs `kernel()` with everything it calls compiled for the vector exp's instructions; the
/// processor must have them.
template <class Kernel>
[[VEXORA_EXP_TARGET gnu::flatten]] void on_exp_target(const Kernel& kernel) {
    kernel();
}

/// Whether this processor has the instructions on_exp_target compiles for.
inline bool processor_supports_exp_target() {
#if defined(__x86_64__) && !defined(VEXORA_BASELINE_ONLY)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return true;
#endif
}

// ---------------------------------------------------------------------------------------------
// Choosing the path.

/// Inputs on which fusing or not fusing each multiply-add changes the result, and edge cases.
inline constexpr double probe_inputs[] = {
#include "probe_inputs.inc"
    __builtin_inf(), -__builtin_inf(), __builtin_nan(""), -__builtin_nan(""),
};

/// Inputs spread over the ranges the kernels use, `count` from a fixed seed: uniform in [-50, 0]
/// and [-745, 710], the subnormal results, and the neighbourhoods of +-512 and +-1024.
inline void self_check_inputs(double* inputs, std::size_t count) {
    // The seed is read through volatile, so that no result can be computed at compile time.
    static const volatile std::uint64_t seed = 0x9e3779b97f4a7c15;
    std::uint64_t state = seed;
    const auto next = [&state] {  // splitmix64
        std::uint64_t z = (state += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    };
    const auto uniform = [&](double low, double high) { return low + (high - low) * ((next() >> 11) * 0x1p-53); };
    constexpr double thresholds[] = {512.0, -512.0, 1024.0, -1024.0};
    for (std::size_t i = 0; i < count; ++i) {
        switch (i % 5) {
            case 0: inputs[i] = uniform(-50.0, 0.0); break;
            case 1: inputs[i] = uniform(-745.0, 710.0); break;
            case 2: inputs[i] = uniform(-745.2, -708.3); break;
            case 3: inputs[i] = uniform(-745.0, 710.0); break;
            default: {  // within 64 ulps of a threshold
                const std::uint64_t at = to_bits(thresholds[next() % 4]) + next() % 129 - 64;
                inputs[i] = from_bits(at);
            }
        }
    }
}

/// Whether the process's exp equals exp_scalar<mask> and exp4<mask> on every one of `n` inputs
/// (n a multiple of four). Called on the exp target.
template <unsigned mask>
bool reproduces_libm(const double* inputs, std::size_t n) {
    for (std::size_t i = 0; i < n; i += lanes) {
        const Double4 x = load4(inputs + i);
        const Double4 vector = exp4<mask>(x);
        for (std::size_t k = 0; k < lanes; ++k) {
            const std::uint64_t library = to_bits(std::exp(x[k]));
            if (library != to_bits(exp_scalar<mask>(x[k])) || library != to_bits(vector[k])) {
                return false;
            }
        }
    }
    return true;
}

/// GNU libc of release 2.28 or later.
inline bool table_driven_libm() {
#if defined(__GLIBC__)
    const char* running = gnu_get_libc_version();
    char* end;
    const long major = std::strtol(running, &end, 10);
    const long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : -1;
    return major > 2 || (major == 2 && minor >= 28);
#else
    return false;
#endif
}

/// Name of the environment variable that, set to "libm", keeps the kernels on the C library's exp.
inline constexpr const char* environment_variable = "VEXORA_EXACT_EXP";

/// Inputs of the self-check at start-up: a few thousand, tens of microseconds.
inline constexpr std::size_t self_check_count = 3072;

inline Path choose_path() {
    const char* request = std::getenv(environment_variable);
    if ((request != nullptr && std::strcmp(request, "libm") == 0) || !table_driven_libm() ||
        !processor_supports_exp_target()) {
        return Path::libm;
    }
    constexpr std::size_t probes = (std::size(probe_inputs) + lanes - 1) / lanes * lanes;
    constexpr std::size_t count = probes + self_check_count;
    static_assert(count % lanes == 0);
    double inputs[count] = {};
    for (std::size_t i = 0; i < std::size(probe_inputs); ++i) {
        // Read through volatile, so that no call can be evaluated at compile time.
        inputs[i] = static_cast<const volatile double*>(probe_inputs)[i];
    }
    self_check_inputs(inputs + probes, self_check_count);
    Path chosen = Path::libm;
    on_exp_target([&] {
        chosen = exp_target_fuses && reproduces_libm<fused>(inputs, count) ? Path::fused
                 : reproduces_libm<unfused>(inputs, count)                 ? Path::unfused
                                                                           : Path::libm;
    });
    return chosen;
}

/// The path of this process, chosen at the first call (each module's initialisation makes it).
inline Path selected_path() {
    static const Path chosen = choose_path();
    return chosen;
}

/*
 * Runs `kernel(exp)` with the exp this process selected: the kernels are written once over the
 * exp they are handed (LibmExp or SequenceExp), and this is the one place that picks it.
 */
template <class Kernel>
void with_exp(const Kernel& kernel) {
    switch (selected_path()) {
        case Path::fused:
            on_exp_target([&] { kernel(SequenceExp<fused>{}); });
            return;
        case Path::unfused:
            on_exp_target([&] { kernel(SequenceExp<unfused>{}); });
            return;
        case Path::libm:
            kernel(LibmExp{});
            return;
    }
}


}  // namespace vexora::simd::exp
