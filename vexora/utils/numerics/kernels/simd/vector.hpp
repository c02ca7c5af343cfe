// Vector types and helpers that the kernels are written in, and the targets they are compiled for.
//
// One dialect: GCC vector extensions (also understood by Clang). Arithmetic, comparisons,
// selections and shuffles are written once and compile to whatever the function being compiled
// targets: SSE2 or AVX2 on x86-64, NEON on aarch64. No intrinsics, so no header or type of one
// instruction set appears in a kernel, and every kernel builds on any 64-bit compiler; the
// instruction set is chosen only by the target attributes below. Each operation is an IEEE
// operation on every lane, so vector code returns the bits of its scalar twin in the same order.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Kernels compiled for the baseline and, on x86-64, also for AVX2, picked at load time by the
// processor (the compiler's function multi-versioning). Elsewhere, and in a build for the
// baseline only (meson option baseline_only, which tests the baseline versions on any
// processor), one baseline version.
#if defined(__x86_64__) && !defined(VEXORA_BASELINE_ONLY)
#define VEXORA_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define VEXORA_CLONES
#endif

// What the vector exp is compiled for: on x86-64 AVX2 and FMA (which the library's FMA variant
// needs, and which the caller checks the processor for); elsewhere, and in a baseline-only
// build, the baseline, which on aarch64 has vector fused multiply-adds.
#if defined(__x86_64__) && !defined(VEXORA_BASELINE_ONLY)
#define VEXORA_EXP_TARGET gnu::target("avx2,fma"),
#else
#define VEXORA_EXP_TARGET
#endif

// Functions taking or returning vectors are always inlined into the kernel that uses them, so
// no call passes a vector: its calling convention differs between targets (which GCC's -Wpsabi
// warns of; the build turns that warning off, see meson.build).
#define VEXORA_VECTOR_HELPER [[gnu::always_inline]] inline

namespace vexora::simd {

/// Elements in one vector.
inline constexpr int lanes = 4;

/// Whether the exp target has fused multiply-add instructions. x86-64's baseline has none: there
/// each std::fma is a call into the C library, and a sequence that fuses is slower than the C
/// library's exp.
#if defined(__x86_64__) && defined(VEXORA_BASELINE_ONLY)
inline constexpr bool exp_target_fuses = false;
#else
inline constexpr bool exp_target_fuses = true;
#endif

using Double4 = double __attribute__((vector_size(32)));
using Long4 = std::int64_t __attribute__((vector_size(32)));
using Bits4 = std::uint64_t __attribute__((vector_size(32)));
using Bits2 = std::uint64_t __attribute__((vector_size(16)));
using Long2 = std::int64_t __attribute__((vector_size(16)));
using Double2 = double __attribute__((vector_size(16)));


VEXORA_VECTOR_HELPER Double4 load4(const double* p) {
    Double4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

VEXORA_VECTOR_HELPER void store4(double* p, Double4 v) { std::memcpy(p, &v, sizeof v); }

VEXORA_VECTOR_HELPER Double4 broadcast(double value) { return Double4{value, value, value, value}; }

VEXORA_VECTOR_HELPER Long4 broadcast(std::int64_t value) { return Long4{value, value, value, value}; }

/// The lanes of `v` where `mask` is set (all ones), +0.0 in the others (mask all zeros).
VEXORA_VECTOR_HELPER Double4 keep(Double4 v, Long4 mask) {
    return std::bit_cast<Double4>(std::bit_cast<Long4>(v) & mask);
}

/// Whether every lane of a comparison's result is set. Moving lanes out one by one costs a
/// tenth of the vector exp; on x86-64 the halves are combined and their sign bits read at once
/// (SSE2's movmskpd, which every x86-64 processor has, so the builtin compiles for any target).
VEXORA_VECTOR_HELPER bool all_of(Long4 mask) {
    const Long2 both = __builtin_shufflevector(mask, mask, 0, 1) & __builtin_shufflevector(mask, mask, 2, 3);
#if defined(__x86_64__)
    return __builtin_ia32_movmskpd(std::bit_cast<Double2>(both)) == 3;
#else
    return (both[0] & both[1]) != 0;
#endif
}

/// Whether any lane of a comparison's result is set; as all_of, the halves combined first.
VEXORA_VECTOR_HELPER bool any_of(Long4 mask) {
    const Long2 either = __builtin_shufflevector(mask, mask, 0, 1) | __builtin_shufflevector(mask, mask, 2, 3);
#if defined(__x86_64__)
    return __builtin_ia32_movmskpd(std::bit_cast<Double2>(either)) != 0;
#else
    return (either[0] | either[1]) != 0;
#endif
}

/// a * b + c in every lane, rounded once. Four scalar fused multiply-adds, which the compiler
/// turns into one vector instruction where the target has it.
VEXORA_VECTOR_HELPER Double4 fused_multiply_add(Double4 a, Double4 b, Double4 c) {
    return Double4{std::fma(a[0], b[0], c[0]), std::fma(a[1], b[1], c[1]), std::fma(a[2], b[2], c[2]),
                   std::fma(a[3], b[3], c[3])};
}

/// Every lane rounded to the nearest integer, halves away from zero (C's round). Four scalar
/// calls, which the compiler turns into one instruction per vector register where the target
/// has one (aarch64's frinta); elsewhere they stay calls or short sequences.
VEXORA_VECTOR_HELPER Double4 round_half_away_from_zero(Double4 v) {
    return Double4{std::round(v[0]), std::round(v[1]), std::round(v[2]), std::round(v[3])};
}

/// Transposes the 4x4 block whose rows are p[0..3]: afterwards p[k] holds element k of every row.
VEXORA_VECTOR_HELPER void transpose(Double4* p) {
    const Double4 even01 = __builtin_shuffle(p[0], p[1], Long4{0, 4, 2, 6});
    const Double4 odd01 = __builtin_shuffle(p[0], p[1], Long4{1, 5, 3, 7});
    const Double4 even23 = __builtin_shuffle(p[2], p[3], Long4{0, 4, 2, 6});
    const Double4 odd23 = __builtin_shuffle(p[2], p[3], Long4{1, 5, 3, 7});
    p[0] = __builtin_shuffle(even01, even23, Long4{0, 1, 4, 5});
    p[1] = __builtin_shuffle(odd01, odd23, Long4{0, 1, 4, 5});
    p[2] = __builtin_shuffle(even01, even23, Long4{2, 3, 6, 7});
    p[3] = __builtin_shuffle(odd01, odd23, Long4{2, 3, 6, 7});
}


}  // namespace vexora::simd
