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
#include <type_traits>
#include <utility>

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

// What the eight-lane vector exp is compiled for, on x86-64 outside a baseline-only build: AVX-512
// F for the 512-bit registers and operations, DQ for moving comparison masks into vectors, VL for
// the same instructions on the 128- and 256-bit halves that the table lookup assembles, plus the
// four-lane target's AVX2 and FMA. path.hpp checks the processor for each of them; no other build
// compiles any AVX-512 code.
// A build may leave the eight-lane code out with -DVEXORA_EIGHT_LANES=0 (the sanitizers' build
// does: instrumenting it multiplies the compile time, and the four-lane code is the same source).
#if !defined(VEXORA_EIGHT_LANES)
#if defined(__x86_64__) && !defined(VEXORA_BASELINE_ONLY)
#define VEXORA_EIGHT_LANES 1
#else
#define VEXORA_EIGHT_LANES 0
#endif
#endif
#if VEXORA_EIGHT_LANES
#define VEXORA_EXP8_TARGET gnu::target("avx2,fma,avx512f,avx512dq,avx512vl"),
#endif

// Functions taking or returning vectors are always inlined into the kernel that uses them, so
// no call passes a vector: its calling convention differs between targets (which GCC's -Wpsabi
// warns of; the build turns that warning off, see meson.build).
#define VEXORA_VECTOR_HELPER [[gnu::always_inline]] inline
/// The same for a lambda that takes or captures vectors, written after its parameter list.
#define VEXORA_INLINE_LAMBDA __attribute__((always_inline))

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
using Double8 = double __attribute__((vector_size(64)));
using Long8 = std::int64_t __attribute__((vector_size(64)));
using Bits8 = std::uint64_t __attribute__((vector_size(64)));

/// The vector types of `width` lanes, for code written once over the width (the exp and the
/// kernels bound by it). GCC drops a vector_size that depends on a template parameter, so each
/// width is spelled out.
template <int width>
struct Vectors;
template <>
struct Vectors<4> {
    using Double = Double4;
    using Long = Long4;
    using Bits = Bits4;
};
template <>
struct Vectors<8> {
    using Double = Double8;
    using Long = Long8;
    using Bits = Bits8;
};

/// Lanes of a vector of 64-bit elements.
template <class V>
inline constexpr int width_of = sizeof(V) / sizeof(std::uint64_t);
template <class V>
using DoubleOf = typename Vectors<width_of<V>>::Double;
template <class V>
using LongOf = typename Vectors<width_of<V>>::Long;
template <class V>
using BitsOf = typename Vectors<width_of<V>>::Bits;

/// A vector of doubles of one of the widths above.
template <class V>
concept DoubleVector = std::is_same_v<V, Double4> || std::is_same_v<V, Double8>;


VEXORA_VECTOR_HELPER Double4 load4(const double* p) {
    Double4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

VEXORA_VECTOR_HELPER void store4(double* p, Double4 v) { std::memcpy(p, &v, sizeof v); }

/// Doubles from `p` to the next multiple of `vector_bytes`: written one at a time first, they
/// leave the vector stores after them aligned, so that none straddles two cache lines. 0 where
/// `p` is not aligned for a double.
inline std::ptrdiff_t doubles_to_alignment(const void* p, std::size_t vector_bytes) {
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    return address % sizeof(double) == 0 ? static_cast<std::ptrdiff_t>((-address % vector_bytes) / sizeof(double)) : 0;
}

VEXORA_VECTOR_HELPER Double4 broadcast(double value) { return Double4{value, value, value, value}; }

VEXORA_VECTOR_HELPER Long4 broadcast(std::int64_t value) { return Long4{value, value, value, value}; }

/// Vectors of any width: V{f(0), f(1), ...} for its lanes.
template <class V, class Lane>
VEXORA_VECTOR_HELPER V from_lanes(const Lane& lane) {
    return [&]<std::size_t... k>(std::index_sequence<k...>) VEXORA_INLINE_LAMBDA { return V{lane(k)...}; }
    (std::make_index_sequence<width_of<V>>{});
}

/// The type of one lane of V.
template <class V>
using LaneOf = std::remove_cvref_t<decltype(std::declval<V&>()[0])>;

template <DoubleVector V>
VEXORA_VECTOR_HELPER V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <DoubleVector V>
VEXORA_VECTOR_HELPER void store(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

/// `value` in every lane (its bits: -0 stays -0). Eight lanes take lane 0 by a shuffle: from eight
/// copies of a value in memory GCC builds the vector with eight masked loads, one per lane.
template <class V>
VEXORA_VECTOR_HELPER V splat(LaneOf<V> value) {
    if constexpr (width_of<V> == 8) {
        const V first{value};
        return __builtin_shufflevector(first, first, 0, 0, 0, 0, 0, 0, 0, 0);
    } else {
        return from_lanes<V>([&](std::size_t) VEXORA_INLINE_LAMBDA { return value; });
    }
}

/// The lanes of `v` where `mask` is set (all ones), +0.0 in the others (mask all zeros).
template <DoubleVector V>
VEXORA_VECTOR_HELPER V keep(V v, LongOf<V> mask) {
    return std::bit_cast<V>(std::bit_cast<LongOf<V>>(v) & mask);
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

/// The halves of eight lanes, and eight lanes from two halves.
template <class V>
VEXORA_VECTOR_HELPER auto low_half(V v) {
    return __builtin_shufflevector(v, v, 0, 1, 2, 3);
}
template <class V>
VEXORA_VECTOR_HELPER auto high_half(V v) {
    return __builtin_shufflevector(v, v, 4, 5, 6, 7);
}
template <class H>
VEXORA_VECTOR_HELPER auto join(H low, H high) {
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
}

/*
 * Lane-by-lane comparisons (all ones where true, zeros elsewhere) and selections, for code
 * written over the width. Vectors of eight lanes are compared as two halves of four: code written
 * once over the width is compiled for the baseline and inlined into code for AVX-512, and GCC 12
 * gives a 512-bit comparison made there a result that AVX-512 (whose comparisons give mask
 * registers) cannot produce from one instruction, and compares lane by lane, one scalar
 * comparison each; a 256-bit comparison keeps its vector form. A selection is a bitwise blend, so
 * no comparison is made from its mask.
 */
template <class V, class Compare>
VEXORA_VECTOR_HELPER LongOf<V> compare(V a, V b, const Compare& compare) {
    if constexpr (width_of<V> == 4) {
        return compare(a, b);
    } else {
        return join(Long4{compare(low_half(a), low_half(b))}, Long4{compare(high_half(a), high_half(b))});
    }
}

#define VEXORA_COMPARISON(name, op)                                                       \
    template <class V>                                                                    \
    VEXORA_VECTOR_HELPER LongOf<V> name(V a, V b) {                                       \
        return compare(a, b, [](auto p, auto q) VEXORA_INLINE_LAMBDA { return p op q; }); \
    }                                                                                     \
    template <class V>                                                                    \
    VEXORA_VECTOR_HELPER LongOf<V> name(V a, LaneOf<V> b) {                               \
        return name(a, splat<V>(b));                                                      \
    }
VEXORA_COMPARISON(less, <)
VEXORA_COMPARISON(less_equal, <=)
VEXORA_COMPARISON(greater, >)
VEXORA_COMPARISON(greater_equal, >=)
VEXORA_COMPARISON(equal, ==)
VEXORA_COMPARISON(unequal, !=)
#undef VEXORA_COMPARISON

/// less(a, b) where neither is NaN. Four lanes compare; eight take the sign of a - b (negative
/// exactly where a < b, a zero difference being +0), spread over the lane by an arithmetic shift:
/// two operations, where a comparison of eight lanes takes two comparisons and the shuffles that
/// split and join the halves.
template <DoubleVector V>
VEXORA_VECTOR_HELPER LongOf<V> less_ordered(V a, V b) {
    if constexpr (width_of<V> == 4) {
        return less(a, b);
    } else {
        return std::bit_cast<LongOf<V>>(a - b) >> 63;
    }
}
template <DoubleVector V>
VEXORA_VECTOR_HELPER LongOf<V> less_ordered(V a, double b) {
    return less_ordered(a, splat<V>(b));
}

/// `a` where `mask` is set (all ones), `b` elsewhere (mask all zeros).
template <class V>
VEXORA_VECTOR_HELPER V select(LongOf<V> mask, V a, V b) {
    if constexpr (width_of<V> == 4) {
        return mask ? a : b;
    } else {
        return std::bit_cast<V>((std::bit_cast<LongOf<V>>(a) & mask) | (std::bit_cast<LongOf<V>>(b) & ~mask));
    }
}

/*
 * Whether every lane's sign bit is set (`every`), or any lane's, of any vector of 64-bit lanes.
 * Four lanes are combined down to two, whose sign bits movmskpd reads, as all_of and any_of do;
 * eight lanes' sign bits are moved into a mask register and tested there, whose flags tell both
 * (written as assembly, as gathered_entries is: only eight-lane code, which has the instructions,
 * inlines this).
 */
template <bool every, class V>
VEXORA_VECTOR_HELPER bool signs_set(V v) {
    const auto lanes = std::bit_cast<LongOf<V>>(v);
    const auto combine = [](auto a, auto b) VEXORA_INLINE_LAMBDA { return every ? a & b : a | b; };
    if constexpr (width_of<V> == 8) {
#if VEXORA_EIGHT_LANES
        unsigned char signs;
        bool all, any;
        __asm__("vpmovq2m %[lanes], %[signs]\n\tkortestb %[signs], %[signs]"
                : [signs] "=k"(signs), "=@ccc"(all), "=@ccnz"(any)
                : [lanes] "v"(lanes));
        return every ? all : any;
#else
        return signs_set<every>(combine(low_half(lanes), high_half(lanes)));
#endif
    } else {
        const Long2 two = combine(__builtin_shufflevector(lanes, lanes, 0, 1),
                                  __builtin_shufflevector(lanes, lanes, 2, 3));
#if defined(__x86_64__)
        const int signs = __builtin_ia32_movmskpd(std::bit_cast<Double2>(two));
        return every ? signs == 3 : signs != 0;
#else
        return combine(two[0], two[1]) < 0;
#endif
    }
}

template <class V>
VEXORA_VECTOR_HELPER bool any_sign(V v) {
    return signs_set<false>(v);
}

template <class V>
VEXORA_VECTOR_HELPER bool all_signs(V v) {
    return signs_set<true>(v);
}

/// Eight lanes: the halves combined first, then as four.
VEXORA_VECTOR_HELPER bool all_of(Long8 mask) {
    return all_of(
        Long4{__builtin_shufflevector(mask, mask, 0, 1, 2, 3) & __builtin_shufflevector(mask, mask, 4, 5, 6, 7)});
}

VEXORA_VECTOR_HELPER bool any_of(Long8 mask) {
    return any_of(
        Long4{__builtin_shufflevector(mask, mask, 0, 1, 2, 3) | __builtin_shufflevector(mask, mask, 4, 5, 6, 7)});
}

/// a * b + c in every lane, rounded once. One scalar fused multiply-add per lane, which the
/// compiler turns into one vector instruction where the target has it.
template <DoubleVector V>
VEXORA_VECTOR_HELPER V fused_multiply_add(V a, V b, V c) {
    return from_lanes<V>([&](std::size_t k) VEXORA_INLINE_LAMBDA { return std::fma(a[k], b[k], c[k]); });
}

/// Every lane rounded to the nearest integer, halves away from zero (C's round). One scalar call
/// per lane, which the compiler turns into one instruction per vector register where the target
/// has one (aarch64's frinta); elsewhere they stay calls or short sequences.
template <DoubleVector V>
VEXORA_VECTOR_HELPER V round_half_away_from_zero(V v) {
    return from_lanes<V>([&](std::size_t k) VEXORA_INLINE_LAMBDA { return std::round(v[k]); });
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
