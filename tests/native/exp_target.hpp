// Running test code as the kernels run it over each exp: the sequences compiled for their
// instructions where the processor has them, the C library's exp as it is.
#pragma once

#include <cmath>
#include <cstddef>

#include "simd/exp/path.hpp"

template <class Kernel>
void on_exp_target_if_supported(const Kernel& kernel) {
    if (vexora::simd::exp::processor_supports_exp_target()) {
        vexora::simd::exp::on_exp_target(kernel);
    } else {
        kernel();
    }
}

/// Runs `kernel()` as with_exp runs a kernel over Exp.
template <class Exp, class Kernel>
void run_over(const Kernel& kernel) {
    if constexpr (Exp::sequence) {
        on_exp_target_if_supported(kernel);
    } else {
        kernel();
    }
}

/*
 * check(Exp{}, exp, name) for each exp the kernels may be handed, with `exp` the scalar function
 * that a plain loop uses to get the same bits: exp_scalar<mask> for the sequences, std::exp for
 * the C library's.
 */
template <class Check>
void for_each_exp(const Check& check) {
    namespace ee = vexora::simd::exp;
    ee::for_each_sequence([&]<unsigned mask>(std::size_t s) {
        check(
            ee::SequenceExp<mask>{}, [](double x) { return ee::exp_scalar<mask>(x); }, ee::sequences[s].name);
    });
    check(
        ee::LibmExp{}, [](double x) { return std::exp(x); }, "libm");
}
