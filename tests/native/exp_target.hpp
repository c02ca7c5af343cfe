// Running test code as the kernels run it over each exp: the sequences compiled for their
// instructions where the processor has them, the C library's exp as it is.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdio>

#include "simd/exp/path.hpp"

template <class Kernel>
void on_exp_target_if_supported(const Kernel& kernel) {
    if (vexora::simd::exp::processor_supports_exp_target()) {
        vexora::simd::exp::on_exp_target(kernel);
    } else {
        kernel();
    }
}

/// The vector widths this build has and this processor runs: 4, and 8 with AVX-512.
inline bool width_runs(int width) {
    return width == 4 || (width == 8 && vexora::simd::exp::processor_supports_exp8_target());
}

/// Runs `kernel()` compiled for the sequence of `width` lanes, as the kernels run it: the
/// four-lane target where the processor has it (the baseline elsewhere), the eight-lane one only
/// where width_runs(8).
template <int width, class Kernel>
void on_width_target_if_supported(const Kernel& kernel) {
    if constexpr (width == 4) {
        on_exp_target_if_supported(kernel);
    } else {
        vexora::simd::exp::on_width_target<width>(kernel);
    }
}

/// Runs `kernel()` as with_exp runs a kernel over Exp.
template <class Exp, class Kernel>
void run_over(const Kernel& kernel) {
    if constexpr (Exp::sequence) {
        on_width_target_if_supported<Exp::lanes>(kernel);
    } else {
        kernel();
    }
}

/// Calls visit.template operator()<width>() for each vector width of this build (4, and 8 on
/// x86-64 outside a baseline-only build) that this processor runs.
template <class Visit>
void for_each_width(const Visit& visit) {
    visit.template operator()<4>();
#if VEXORA_EIGHT_LANES
    if (width_runs(8)) {
        visit.template operator()<8>();
    } else {
        std::printf("exp: no AVX-512 on this processor, the eight-lane sequences are not run\n");
    }
#endif
}

/*
 * check(Exp{}, exp, name) for each exp the kernels may be handed, with `exp` the scalar function
 * that a plain loop uses to get the same bits: exp_scalar<mask> for the sequences (at each width
 * of for_each_width, the name followed by "x8" for eight lanes), std::exp for the C library's.
 */
template <class Check>
void for_each_exp(const Check& check) {
    namespace ee = vexora::simd::exp;
    for_each_width([&]<int width>() {
        ee::for_each_sequence([&]<unsigned mask>(std::size_t s) {
            char name[64];
            std::snprintf(name, sizeof name, "%s%s", ee::sequences[s].name, width == 8 ? " x8" : "");
            check(
                ee::SequenceExp<mask, width>{}, [](double x) { return ee::exp_scalar<mask>(x); }, name);
        });
    });
    check(
        ee::LibmExp{}, [](double x) { return std::exp(x); }, "libm");
}
