// Which exp the kernels use, and the one place that runs a kernel on it.
//
// The vector sequence is used only where it is proven, in the running process, to return what
// the process's own exp returns: GNU libc 2.28 or later (the releases with the table-driven exp),
// a processor with the instructions the sequence is compiled for, a probe whose inputs tell
// every fusion choice apart, and a self-check over the ranges the kernels use. Anything else,
// or VEXORA_EXACT_EXP=libm, keeps the kernels on the C library's exp.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include "../vector.hpp"
#include "self_check.hpp"
#include "sequence.hpp"

namespace vexora::simd::exp {

/// The exp a module's kernels use: sequences[i] for Path{i}, or the C library's exp.
enum class Path : std::size_t { libm = sequence_count };

inline const char* path_name(Path p) {
    const auto index = static_cast<std::size_t>(p);
    return index < sequence_count ? sequences[index].name : "libm";
}


// ---------------------------------------------------------------------------------------------
// The kernels' view of an exp: one value (`scalar`) or four (`vector`).

/// The C library's exp, one call per value.
struct LibmExp {
    static constexpr bool sequence = false;
    /// Whether exp(x) is +0 for every x < zero_below, so that a kernel may skip such terms: the
    /// C library's exp does not increase, so its value at zero_below tells (the GNU library's
    /// and every correctly rounded one's is +0).
    static bool zero_below_gives_zero() {
        static const bool zero = std::bit_cast<std::uint64_t>(std::exp(zero_below)) == 0;
        return zero;
    }
    static double scalar(double x) { return std::exp(x); }
    VEXORA_VECTOR_HELPER static Double4 vector(Double4 x) {
        return Double4{std::exp(x[0]), std::exp(x[1]), std::exp(x[2]), std::exp(x[3])};
    }
};

/// The table-driven sequence with the multiply-adds of `mask` fused.
template <unsigned mask>
struct SequenceExp {
    static constexpr bool sequence = true;
    static constexpr bool zero_below_gives_zero() { return true; }
    [[gnu::always_inline]] static double scalar(double x) { return exp_scalar<mask>(x); }
    VEXORA_VECTOR_HELPER static Double4 vector(Double4 x) { return exp4<mask>(x); }
};

/// Runs `kernel()` with everything it calls compiled for the vector exp's instructions; the
/// processor must have them.
template <class Kernel>
[[VEXORA_EXP_TARGET gnu::flatten]] void on_exp_target(const Kernel& kernel) {
    kernel();
}

/// Runs `kernel` compiled for what `Exp` needs. with_exp's kernel already is; a thread that a
/// call splits its work onto starts in code compiled for the baseline, so it enters here.
template <class Exp, class Kernel>
void on_target_of(const Kernel& kernel) {
    if constexpr (Exp::sequence) {
        on_exp_target(kernel);
    } else {
        kernel();
    }
}

/// Whether this build may select `variant`: one that fuses is slower than the C library where the
/// exp's target has no fused multiply-add (each std::fma a call into the C library).
constexpr bool selectable(const Variant& variant) { return exp_target_fuses || variant.mask == unfused; }

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

/// The first of `sequences` that returns the process's exp on the probe and the self-check (the
/// probe tells the fusion choices apart, so at most one does), else the C library's exp.
inline Path choose_path() {
    const char* request = std::getenv(environment_variable);
    if ((request != nullptr && std::strcmp(request, "libm") == 0) || !table_driven_libm() ||
        !processor_supports_exp_target()) {
        return Path::libm;
    }
    bool agree[sequence_count];
    for (std::size_t i = 0; i < sequence_count; ++i) {
        agree[i] = selectable(sequences[i]);
    }
    on_exp_target([&] { check_sequences(agree); });
    return Path{static_cast<std::size_t>(std::find(std::begin(agree), std::end(agree), true) - std::begin(agree))};
}

/// The path of this module, chosen at the first call, which its initialisation makes. Every module
/// is a shared library of its own with its own copy of this choice, so two modules choose apart:
/// differently if VEXORA_EXACT_EXP changed between their imports.
inline Path selected_path() {
    static const Path chosen = choose_path();
    return chosen;
}

/*
 * Runs `kernel(exp)` with the exp this module selected: the kernels are written once over the
 * exp they are handed (LibmExp or SequenceExp), and this is the one place that picks it.
 */
template <class Kernel>
void with_exp(const Kernel& kernel) {
    const Path path = selected_path();
    if (path == Path::libm) {
        kernel(LibmExp{});
        return;
    }
    for_each_sequence([&]<unsigned mask>(std::size_t s) {
        if (Path{s} == path) {
            on_exp_target([&] { kernel(SequenceExp<mask>{}); });
        }
    });
}


}  // namespace vexora::simd::exp
