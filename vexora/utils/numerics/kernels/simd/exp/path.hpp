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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include "../../core/sync.hpp"
#include "../../core/text.hpp"
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
// The kernels' view of an exp: one value (`scalar`) or a vector of `lanes` (`vector`).

/// The C library's exp, one call per value; the kernels run it four lanes wide.
struct LibmExp {
    static constexpr bool sequence = false;
    static constexpr int lanes = 4;
    using Vector = Double4;
    /// Whether exp(x) is +0 for every x < zero_below, so that a kernel may skip such terms: the
    /// C library's exp does not increase, so its value at zero_below tells (the GNU library's
    /// and every correctly rounded one's is +0). Asked once a kernel call, so one exp.
    static bool zero_below_gives_zero() { return std::bit_cast<std::uint64_t>(std::exp(zero_below)) == 0; }
    static double scalar(double x) { return std::exp(x); }
    VEXORA_VECTOR_HELPER static Double4 vector(Double4 x) {
        return Double4{std::exp(x[0]), std::exp(x[1]), std::exp(x[2]), std::exp(x[3])};
    }
};

/// The table-driven sequence with the multiply-adds of `mask` fused, `width` lanes to a vector
/// (4, or 8 where VEXORA_EIGHT_LANES).
template <unsigned mask, int width = 4>
struct SequenceExp {
    static constexpr bool sequence = true;
    static constexpr int lanes = width;
    using Vector = typename Vectors<width>::Double;
    static constexpr bool zero_below_gives_zero() { return true; }
    [[gnu::always_inline]] static double scalar(double x) { return exp_scalar<mask>(x); }
    VEXORA_VECTOR_HELPER static Vector vector(Vector x) { return exp_lanes<mask>(x); }
};

/// Runs `kernel()` with everything it calls compiled for the four-lane vector exp's instructions;
/// the processor must have them.
template <class Kernel>
[[VEXORA_EXP_TARGET gnu::flatten]] void on_exp_target(const Kernel& kernel) {
    kernel();
}

#if VEXORA_EIGHT_LANES
/// The same for the eight-lane exp's instructions.
template <class Kernel>
[[VEXORA_EXP8_TARGET gnu::flatten]] void on_exp8_target(const Kernel& kernel) {
    kernel();
}
#endif

/// Runs `kernel()` compiled for the vector exp of `width` lanes.
template <int width, class Kernel>
void on_width_target(const Kernel& kernel) {
#if VEXORA_EIGHT_LANES
    if constexpr (width == 8) {
        on_exp8_target(kernel);
        return;
    }
#endif
    static_assert(width == 4 || (VEXORA_EIGHT_LANES && width == 8), "no target for this width");
    on_exp_target(kernel);
}

/// Runs `kernel` compiled for what `Exp` needs. with_exp's kernel already is; a thread that a
/// call splits its work onto starts in code compiled for the baseline, so it enters here.
template <class Exp, class Kernel>
void on_target_of(const Kernel& kernel) {
    if constexpr (Exp::sequence) {
        on_width_target<Exp::lanes>(kernel);
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

/// Whether this processor has the instructions on_exp8_target compiles for (false in a build
/// without them).
inline bool processor_supports_exp8_target() {
#if VEXORA_EIGHT_LANES
    __builtin_cpu_init();
    return processor_supports_exp_target() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl");
#else
    return false;
#endif
}

// ---------------------------------------------------------------------------------------------
// Choosing the path.

/// GNU libc of release 2.28 or later.
inline bool table_driven_libm() {
#if defined(__GLIBC__)
    const auto [major, minor] = core::text::major_minor(gnu_get_libc_version());
    return major > 2 || (major == 2 && minor >= 28);
#else
    return false;
#endif
}

/// Name of the environment variable that, set to "libm", keeps the kernels on the C library's exp.
inline constexpr const char* environment_variable = "VEXORA_EXACT_EXP";

/// Name of the environment variable that, set to "4", keeps the sequences at four lanes where the
/// processor has eight, so that the four-lane code is run and tested there too.
inline constexpr const char* lanes_variable = "VEXORA_EXP_LANES";

/// The lanes the sequences run at in this module: eight where the build and the processor have
/// them and VEXORA_EXP_LANES does not ask for four, else four. Read once, at the first call.
inline int selected_lanes() {
    return core::sync::computed_once<[] {
        const char* request = std::getenv(lanes_variable);
        const bool four = request != nullptr && std::strcmp(request, "4") == 0;
        return !four && processor_supports_exp8_target() ? 8 : 4;
    }>();
}

/// Name of the environment variable that, set to "1" or "0", makes the eight-lane lookups gather
/// or not whatever the processor, so that both are run and tested on any machine.
inline constexpr const char* gather_variable = "VEXORA_EXP_GATHER";

/*
 * Whether this processor gathers fast: Intel's, whose kernel reports them not affected by Gather
 * Data Sampling (the microcode that mitigates it makes gathers several times slower). Others keep
 * a load per lane, which no processor runs slowly.
 */
inline bool processor_gathers_fast() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (!__builtin_cpu_is("intel")) {
        return false;
    }
    char state[32];
    return core::text::read_first_line("/sys/devices/system/cpu/vulnerabilities/gather_data_sampling", state,
                                       sizeof state) &&
           std::strcmp(state, "Not affected") == 0;
#else
    return false;
#endif
}

/// Whether the eight-lane lookups gather (gather_lookups): VEXORA_EXP_GATHER's "1" or "0", else
/// where the processor gathers fast; never at four lanes. Decided once, at the first call.
inline bool selected_gathers() {
    return core::sync::computed_once<[] {
        const char* request = std::getenv(gather_variable);
        const bool gathers = request != nullptr && (std::strcmp(request, "1") == 0 || std::strcmp(request, "0") == 0)
                                 ? request[0] == '1'
                                 : processor_gathers_fast();
        return gathers && selected_lanes() == 8;
    }>();
}

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
    // The check runs at the width and with the lookups the kernels will run.
    gather_lookups = selected_gathers();
    if (selected_lanes() == 8) {
#if VEXORA_EIGHT_LANES
        on_exp8_target([&] { check_sequences<8>(agree); });
#endif
    } else {
        on_exp_target([&] { check_sequences<4>(agree); });
    }
    return Path{static_cast<std::size_t>(std::find(std::begin(agree), std::end(agree), true) - std::begin(agree))};
}

/// The path of this module, chosen at the first call, which its initialisation makes. Every module
/// is a shared library of its own with its own copy of this choice, so two modules choose apart:
/// differently if VEXORA_EXACT_EXP changed between their imports.
inline Path selected_path() { return core::sync::computed_once<choose_path>(); }

/*
 * Runs `kernel(exp)` with the exp this module selected, at the lanes it selected: the kernels are
 * written once over the exp they are handed (LibmExp or SequenceExp<mask, lanes>), and this is
 * the one place that picks it.
 */
template <class Kernel>
void with_exp(const Kernel& kernel) {
    const Path path = selected_path();
    if (path == Path::libm) {
        kernel(LibmExp{});
        return;
    }
    [[maybe_unused]] const int lanes = selected_lanes();
    for_each_sequence([&]<unsigned mask>(std::size_t s) {
        if (Path{s} != path) {
            return;
        }
#if VEXORA_EIGHT_LANES
        if (lanes == 8) {
            on_exp8_target([&] { kernel(SequenceExp<mask, 8>{}); });
            return;
        }
#endif
        on_exp_target([&] { kernel(SequenceExp<mask, 4>{}); });
    });
}


}  // namespace vexora::simd::exp
