// exp(x) four values at a time, returning for every input the bits the C library's exp returns.
//
// The C library's exp (GNU libc on x86-64) is table driven: x = k ln2/128 + r with |r| <= ln2/256,
// exp(x) = 2^(k/128) exp(r), exp(r) - 1 by a degree-5 polynomial. Nothing in it needs a branch
// per value but the rare special cases, so the same arithmetic runs on vectors. Which of its
// multiply-adds the C library fuses depends on the variant its loader picked for this process,
// so each multiply-add here is fused or not by a bit of a template mask, and `choose_path` finds
// out at start-up, by a probe through the process's own exp, which mask reproduces it.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#define VEXORA_AVX2 [[gnu::target("avx2,fma")]]

namespace vexora::frame::exact_exp {

// The multiply-adds of the sequence, one bit each: fused (one rounding) when the bit is set.
enum Fusion : unsigned {
    fuse_reduction = 1u << 0,  ///< kd = x InvLn2N + Shift
    fuse_high = 1u << 1,       ///< x + kd NegLn2hiN (exact for |x| < 512; not beyond)
    fuse_low = 1u << 2,        ///< ... + kd NegLn2loN
    fuse_c23 = 1u << 3,        ///< C2 + r C3
    fuse_t = 1u << 4,          ///< (tail + r) + r^2 (C2 + r C3)
    fuse_c45 = 1u << 5,        ///< C4 + r C5
    fuse_tmp = 1u << 6,        ///< t + r^4 (C4 + r C5)
    fuse_scale = 1u << 7,      ///< scale + scale tmp
    fuse_large = 1u << 8,      ///< the same for results beyond 2^512
};
inline constexpr unsigned fusion_count = 9;
/// The C library's variants for FMA processors fuse every multiply-add; the others none.
inline constexpr unsigned fused = (1u << fusion_count) - 1, unfused = 0;

// Constants of the algorithm, N = 128 table entries per octave.
inline constexpr double InvLn2N = 0x1.71547652b82fep+7;    // N / ln 2
inline constexpr double NegLn2hiN = -0x1.62e42fefa0000p-8;  // -ln 2 / N, leading 36 bits: kd times it is exact
inline constexpr double NegLn2loN = -0x1.cf79abc9e3b3ap-47;  // the rest of -ln 2 / N
inline constexpr double Shift = 0x1.8p52;  // adding it rounds to an integer kept in the low mantissa bits
inline constexpr double C2 = 0x1.ffffffffffdbdp-2;  // exp(r) - 1 ~ r + C2 r^2 + ... + C5 r^5 on |r| <= ln2/256
inline constexpr double C3 = 0x1.555555555543cp-3;
inline constexpr double C4 = 0x1.55555cf172b91p-5;
inline constexpr double C5 = 0x1.1111167a4d017p-7;

/// {bits(tail), bits(H) - (k << 45)} for H = 2^(k/128) rounded and tail = (2^(k/128) - H) / H.
alignas(16) inline constexpr std::uint64_t table[256] = {
#include "exp_table.inc"
};

// ---------------------------------------------------------------------------------------------
// One value at a time.

template <unsigned mask, unsigned fusion>
[[gnu::always_inline]] inline double multiply_add(double a, double b, double c) {
    if constexpr ((mask & fusion) != 0) {
        return std::fma(a, b, c);
    } else {
        return a * b + c;
    }
}

inline double from_bits(std::uint64_t u) { return std::bit_cast<double>(u); }
inline std::uint64_t to_bits(double d) { return std::bit_cast<std::uint64_t>(d); }

/// exp for 512 <= |x| < 1024: the scale 2^(k/128) alone would overflow or lose bits.
template <unsigned mask>
double exp_beyond_512(double tmp, std::uint64_t sbits, std::uint64_t ki) {
    if ((ki & 0x80000000u) == 0) {  // k > 0: scale down by 2^1009 and back after the product
        const double s = from_bits(sbits - (1009ull << 52));
        return 0x1p1009 * multiply_add<mask, fuse_large>(s, tmp, s);
    }
    // k < 0: the result may be subnormal; add in the normal range, round once at the end.
    const double s = from_bits(sbits + (1022ull << 52));
    const double st = s * tmp;
    double y = s + st;
    if (y < 1.0) {
        const double hi = 1.0 + y;
        const double lo = ((1.0 - hi) + y) + ((s - y) + st);
        y = (hi + lo) - 1.0;
        if (y == 0.0) {
            y = 0.0;  // never -0
        }
    }
    return 0x1p-1022 * y;
}

/// exp(x) with the multiply-adds of `mask` fused: the C library's result for its variant.
template <unsigned mask>
[[gnu::always_inline]] inline double exp_scalar(double x) {
    const std::uint64_t ix = to_bits(x);
    const unsigned abstop = (ix >> 52) & 0x7ff;
    const bool beyond = abstop - 0x3c9u >= 0x408u - 0x3c9u;  // |x| < 2^-54 or |x| >= 512
    if (beyond) [[unlikely]] {
        if (abstop < 0x3c9u) {
            return 1.0 + x;
        }
        if (abstop >= 0x409u) {  // |x| >= 1024: overflow, underflow, inf or NaN
            if (x != x) {
                return 1.0 + x;
            }
            return x > 0.0 ? HUGE_VAL : 0.0;
        }
    }
    double kd = multiply_add<mask, fuse_reduction>(x, InvLn2N, Shift);
    const std::uint64_t ki = to_bits(kd);
    kd -= Shift;
    const double r = multiply_add<mask, fuse_low>(kd, NegLn2loN, multiply_add<mask, fuse_high>(kd, NegLn2hiN, x));
    const std::uint64_t i = 2 * (ki & 127);
    const double tail = from_bits(table[i]);
    const std::uint64_t sbits = table[i + 1] + (ki << 45);
    const double r2 = r * r;
    const double t = multiply_add<mask, fuse_t>(r2, multiply_add<mask, fuse_c23>(r, C3, C2), tail + r);
    const double tmp = multiply_add<mask, fuse_tmp>(r2 * r2, multiply_add<mask, fuse_c45>(r, C5, C4), t);
    if (beyond) [[unlikely]] {
        return exp_beyond_512<mask>(tmp, sbits, ki);
    }
    const double scale = from_bits(sbits);
    return multiply_add<mask, fuse_scale>(scale, tmp, scale);
}

// ---------------------------------------------------------------------------------------------
// Four values at a time (AVX2). Callers must be compiled for AVX2 and FMA (VEXORA_AVX2).

template <unsigned mask, unsigned fusion>
VEXORA_AVX2 [[gnu::always_inline]] inline __m256d multiply_add(__m256d a, __m256d b, __m256d c) {
    if constexpr ((mask & fusion) != 0) {
        return _mm256_fmadd_pd(a, b, c);
    } else {
        return _mm256_add_pd(_mm256_mul_pd(a, b), c);
    }
}

VEXORA_AVX2 inline __m256d splat(double d) { return _mm256_set1_pd(d); }
VEXORA_AVX2 inline __m256i splat_bits(std::uint64_t u) { return _mm256_set1_epi64x(static_cast<long long>(u)); }

/// The special cases of four values, as blends; `ordinary` marks the lanes with 2^-54 <= |x| < 512.
template <unsigned mask>
VEXORA_AVX2 __m256d exp_special(__m256d x, __m256d ordinary, __m256d y, __m256d tmp, __m256i sbits, __m256i ki) {
    const __m256d one = splat(1.0), zero = _mm256_setzero_pd();
    const __m256d magnitude = _mm256_andnot_pd(splat(-0.0), x);
    const __m256d tiny = _mm256_cmp_pd(magnitude, splat(0x1p-54), _CMP_LT_OQ);
    const __m256d huge = _mm256_cmp_pd(magnitude, splat(1024.0), _CMP_NLT_UQ);  // or NaN
    // |x| >= 1024: NaN gives 1 + x (the quiet NaN), positive values infinity, negative ones +0.
    __m256d far = _mm256_and_pd(_mm256_cmp_pd(x, zero, _CMP_GT_OQ), splat(HUGE_VAL));
    far = _mm256_blendv_pd(far, _mm256_add_pd(one, x), _mm256_cmp_pd(x, x, _CMP_UNORD_Q));
    // 512 <= |x| < 1024, k > 0.
    const __m256d s_up = _mm256_castsi256_pd(_mm256_sub_epi64(sbits, splat_bits(1009ull << 52)));
    const __m256d up = _mm256_mul_pd(splat(0x1p1009), multiply_add<mask, fuse_large>(s_up, tmp, s_up));
    // 512 <= |x| < 1024, k < 0.
    const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(sbits, splat_bits(1022ull << 52)));
    const __m256d st = _mm256_mul_pd(s, tmp);
    const __m256d sum = _mm256_add_pd(s, st);
    const __m256d hi = _mm256_add_pd(one, sum);
    const __m256d lo = _mm256_add_pd(_mm256_add_pd(_mm256_sub_pd(one, hi), sum),
                                     _mm256_add_pd(_mm256_sub_pd(s, sum), st));
    __m256d rounded = _mm256_sub_pd(_mm256_add_pd(hi, lo), one);
    rounded = _mm256_andnot_pd(_mm256_cmp_pd(rounded, zero, _CMP_EQ_OQ), rounded);  // never -0
    const __m256d down =
        _mm256_mul_pd(splat(0x1p-1022), _mm256_blendv_pd(sum, rounded, _mm256_cmp_pd(sum, one, _CMP_LT_OQ)));
    const __m256d k_negative = _mm256_castsi256_pd(_mm256_slli_epi64(ki, 32));  // sign bit = bit 31 of ki
    __m256d result = _mm256_blendv_pd(y, _mm256_blendv_pd(up, down, k_negative), _mm256_andnot_pd(ordinary, splat(-0.0)));
    result = _mm256_blendv_pd(result, _mm256_add_pd(one, x), tiny);
    return _mm256_blendv_pd(result, far, huge);
}

/// exp of four values with the multiply-adds of `mask` fused; lane for lane exp_scalar<mask>.
template <unsigned mask>
VEXORA_AVX2 [[gnu::always_inline]] inline __m256d exp4(__m256d x) {
    const __m256d magnitude = _mm256_andnot_pd(splat(-0.0), x);
    const __m256d ordinary = _mm256_and_pd(_mm256_cmp_pd(magnitude, splat(0x1p-54), _CMP_GE_OQ),
                                           _mm256_cmp_pd(magnitude, splat(512.0), _CMP_LT_OQ));
    __m256d kd = multiply_add<mask, fuse_reduction>(x, splat(InvLn2N), splat(Shift));
    const __m256i ki = _mm256_castpd_si256(kd);
    kd = _mm256_sub_pd(kd, splat(Shift));
    const __m256d r = multiply_add<mask, fuse_low>(kd, splat(NegLn2loN),
                                                   multiply_add<mask, fuse_high>(kd, splat(NegLn2hiN), x));
    // Both words of an entry with one 16-byte load per lane, then transposed.
    const __m256i i = _mm256_slli_epi64(_mm256_and_si256(ki, splat_bits(127)), 1);
    const __m128i i01 = _mm256_castsi256_si128(i), i23 = _mm256_extracti128_si256(i, 1);
    const auto entry = [](long long k) { return _mm_load_si128(reinterpret_cast<const __m128i*>(table + k)); };
    const __m256i e02 = _mm256_setr_m128i(entry(_mm_cvtsi128_si64(i01)), entry(_mm_cvtsi128_si64(i23)));
    const __m256i e13 = _mm256_setr_m128i(entry(_mm_extract_epi64(i01, 1)), entry(_mm_extract_epi64(i23, 1)));
    const __m256d tail = _mm256_castsi256_pd(_mm256_unpacklo_epi64(e02, e13));
    const __m256i sbits = _mm256_add_epi64(_mm256_unpackhi_epi64(e02, e13), _mm256_slli_epi64(ki, 45));
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d t = multiply_add<mask, fuse_t>(r2, multiply_add<mask, fuse_c23>(r, splat(C3), splat(C2)),
                                                 _mm256_add_pd(tail, r));
    const __m256d tmp = multiply_add<mask, fuse_tmp>(_mm256_mul_pd(r2, r2),
                                                     multiply_add<mask, fuse_c45>(r, splat(C5), splat(C4)), t);
    const __m256d scale = _mm256_castsi256_pd(sbits);
    const __m256d y = multiply_add<mask, fuse_scale>(scale, tmp, scale);
    if (_mm256_movemask_pd(ordinary) == 0xF) [[likely]] {
        return y;
    }
    return exp_special<mask>(x, ordinary, y, tmp, sbits, ki);
}

/// values[i] = exp(values[i]) for i < n, four at a time, the rest one at a time.
template <unsigned mask>
VEXORA_AVX2 void exp_in_place(double* values, std::ptrdiff_t n) {
    std::ptrdiff_t i = 0;
    for (; i + 4 <= n; i += 4) {
        _mm256_storeu_pd(values + i, exp4<mask>(_mm256_loadu_pd(values + i)));
    }
    for (; i < n; ++i) {
        values[i] = exp_scalar<mask>(values[i]);
    }
}

// ---------------------------------------------------------------------------------------------
// Which exp the kernels use in this process.

enum class Path {
    libm,     ///< the C library's exp, one call per value
    fused,    ///< exp4<fused>: the C library runs its FMA variant
    unfused,  ///< exp4<unfused>: the C library runs a variant without FMA
};

#if !defined(VEXORA_EXP_PROBE_GENERATOR)
/// Inputs on which fusing or not fusing each multiply-add changes the result, and edge cases.
inline constexpr double probe_inputs[] = {
#include "exp_probe.inc"
    __builtin_inf(), -__builtin_inf(), __builtin_nan(""), -__builtin_nan(""),
};

/// Whether the process's exp equals exp_scalar<mask> and exp4<mask> on every probe input.
template <unsigned mask>
VEXORA_AVX2 bool reproduces_libm() {
    constexpr std::size_t n = std::size(probe_inputs), padded = (n + 3) / 4 * 4;
    alignas(32) double inputs[padded] = {}, library[padded], vector[padded];
    for (std::size_t i = 0; i < n; ++i) {
        // Read through volatile, so that no call can be evaluated at compile time.
        inputs[i] = static_cast<const volatile double*>(probe_inputs)[i];
    }
    for (std::size_t i = 0; i < padded; ++i) {
        library[i] = std::exp(inputs[i]);
    }
    for (std::size_t i = 0; i < padded; i += 4) {
        _mm256_store_pd(vector + i, exp4<mask>(_mm256_load_pd(inputs + i)));
    }
    for (std::size_t i = 0; i < padded; ++i) {
        if (to_bits(library[i]) != to_bits(exp_scalar<mask>(inputs[i])) || to_bits(library[i]) != to_bits(vector[i])) {
            return false;
        }
    }
    return true;
}
/// The C library releases whose exp the tests have compared against these sequences.
inline constexpr const char* tested_glibc_versions[] = {"2.36"};

inline bool tested_glibc() {
#if defined(__GLIBC__)
    const char* running = gnu_get_libc_version();
    for (const char* version : tested_glibc_versions) {
        if (std::strcmp(running, version) == 0) {
            return true;
        }
    }
#endif
    return false;
}

/// Name of the environment variable that, set to "libm", keeps the kernels on the C library's exp.
inline constexpr const char* environment_variable = "VEXORA_EXACT_EXP";

/*
 * Decides once per process which exp the kernels use: a vector sequence only where the C library
 * is a tested glibc, the processor has AVX2 and FMA, and the probe finds that sequence in the
 * process's own exp (the loader's choice of variant can be changed, by GLIBC_TUNABLES, say).
 */
inline Path choose_path() {
    const char* request = std::getenv(environment_variable);
    if (request != nullptr && std::strcmp(request, "libm") == 0) {
        return Path::libm;
    }
    __builtin_cpu_init();
    if (!tested_glibc() || !__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        return Path::libm;
    }
    if (reproduces_libm<fused>()) {
        return Path::fused;
    }
    if (reproduces_libm<unfused>()) {
        return Path::unfused;
    }
    return Path::libm;
}

/// The path of this process, chosen at the first call (each module's initialisation makes it).
inline Path selected_path() {
    static const Path chosen = choose_path();
    return chosen;
}
#endif

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

}  // namespace vexora::frame::exact_exp
