// exp(x) one value, four or eight at a time, returning for every input the bits the C library's exp
// returns in this process.
//
// The C library's exp (GNU libc) is table driven: x = k ln2/128 + r with |r| <= ln2/256,
// exp(x) = 2^(k/128) exp(r), exp(r) - 1 by a degree-5 polynomial. Nothing in it needs a branch
// per value but the rare special cases, so the same arithmetic runs on vectors. Which of its
// multiply-adds the C library fuses depends on the variant its loader picked for this process,
// and how it rounds x N/ln2 to k on the processor it was built for, so each multiply-add here is
// fused or not by a bit of a template mask, and another bit picks the reduction; path.hpp finds
// out at start-up which mask reproduces the process's exp.
//
// The vector version is written in the vector extensions of vector.hpp, once for four and eight
// lanes: callers compile it for the instructions they run on (path.hpp), and every lane is the
// scalar version's sequence.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "../vector.hpp"

namespace vexora::simd::exp {

// The multiply-adds of the sequence, one bit each: fused (one rounding) when the bit is set.
enum Fusion : unsigned {
    fuse_reduction = 1u << 0,  ///< kd = x InvLn2N + Shift (the shift reduction only)
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

/*
 * How x is split into k ln2/N + r, a bit of the mask beside the fusion bits. Both round x N/ln2
 * to the nearest integer k, but not the same number, and not the same way:
 *   reduce_by_shift - kd = x InvLn2N + Shift: the exact product (or its rounding, unfused)
 *                     rounded once, ties to even, k in the low mantissa bits (x86-64's library)
 *   round_half_away - z = x InvLn2N rounded to a double, then k = round(z), ties away from zero
 *                     as C's round (aarch64's, which has an instruction for it)
 * They differ where x N/ln2 lies within an ulp of a half-integer.
 */
enum Reduction : unsigned {
    reduce_by_shift = 0,
    round_half_away = 1u << fusion_count,
};

/// One variant of the C library's exp that the sequence reproduces: the name the selection and
/// the test hooks report, and the mask it is compiled with.
struct Variant {
    const char* name;
    unsigned mask;
};

/*
 * The one list of the sequences the kernels may run in place of the C library's exp, in the
 * order the selection tries them. The selection, the kernels' dispatch, the test hooks (each
 * sequence four values at a time under its name, one at a time as "<name>-scalar") and the tests
 * all loop over it, so a variant added here is added everywhere. "libm", the C library's exp
 * itself, is the fallback and not in the list.
 */
inline constexpr Variant sequences[] = {
    {"fused", fused},
    {"unfused", unfused},
    {"fused-round", fused | round_half_away},
};
inline constexpr std::size_t sequence_count = std::size(sequences);

/// Calls `visit.template operator()<sequences[i].mask>(i)` for every entry i of the list, in
/// order: code written once over a mask is compiled once per variant.
template <class Visit>
void for_each_sequence(const Visit& visit) {
    [&]<std::size_t... i>(std::index_sequence<i...>) { (visit.template operator()<sequences[i].mask>(i), ...); }
    (std::make_index_sequence<sequence_count>{});
}

// Constants of the algorithm, N = 128 table entries per octave.
inline constexpr double InvLn2N = 0x1.71547652b82fep+7;      // N / ln 2
inline constexpr double NegLn2hiN = -0x1.62e42fefa0000p-8;   // -ln 2 / N, leading 36 bits: kd times it is exact
inline constexpr double NegLn2loN = -0x1.cf79abc9e3b3ap-47;  // the rest of -ln 2 / N
inline constexpr double Shift = 0x1.8p52;           // adding it rounds to an integer kept in the low mantissa bits
inline constexpr double C2 = 0x1.ffffffffffdbdp-2;  // exp(r) - 1 ~ r + C2 r^2 + ... + C5 r^5 on |r| <= ln2/256
inline constexpr double C3 = 0x1.555555555543cp-3;
inline constexpr double C4 = 0x1.55555cf172b91p-5;
inline constexpr double C5 = 0x1.1111167a4d017p-7;

/// The ordinary inputs, smallest_ordinary <= |x| < beyond_ordinary, take the polynomial and the
/// table; smaller ones give 1 + x, larger ones the rescaled or special cases.
inline constexpr double smallest_ordinary = 0x1p-54, beyond_ordinary = 512.0;

/// {bits(tail), bits(H) - (k << 45)} for H = 2^(k/128) rounded and tail = (2^(k/128) - H) / H.
alignas(16) inline constexpr std::uint64_t table[256] = {
#include "exp_table.inc"
};

/// Whether eight-lane lookups take each word of their entries with one gather instruction instead
/// of a load per lane: the same words, faster where the processor gathers fast. Set once, where the
/// exp is chosen (path.hpp), before any kernel runs.
inline bool gather_lookups = false;

// ---------------------------------------------------------------------------------------------
// One value at a time: the reference every vector lane follows.

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

/// k = x N/ln2 rounded to an integer as the mask's reduction does: as a double, and the bits of
/// kd + Shift, whose low bits hold k in two's complement (what the table index and the scale
/// take). Exact for |x| < 1024; beyond, and for NaN, the special cases replace the result.
template <unsigned mask>
[[gnu::always_inline]] inline std::pair<double, std::uint64_t> reduce(double x) {
    if constexpr ((mask & round_half_away) != 0) {
        const double kd = std::round(x * InvLn2N);
        return {kd, to_bits(kd + Shift)};
    } else {
        const double shifted = multiply_add<mask, fuse_reduction>(x, InvLn2N, Shift);
        return {shifted - Shift, to_bits(shifted)};
    }
}

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
    // The biased exponents of smallest_ordinary and beyond_ordinary.
    static_assert(std::bit_cast<std::uint64_t>(smallest_ordinary) >> 52 == 0x3c9u);
    static_assert(std::bit_cast<std::uint64_t>(beyond_ordinary) >> 52 == 0x408u);
    const bool beyond = abstop - 0x3c9u >= 0x408u - 0x3c9u;  // not ordinary
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
    const auto [kd, ki] = reduce<mask>(x);
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
// A vector at a time, four or eight lanes (Double4, Double8), lane for lane exp_scalar<mask>.
// One source for both widths: the same operations in the same order on every lane.

template <unsigned mask, unsigned fusion, DoubleVector V>
VEXORA_VECTOR_HELPER V multiply_add(V a, V b, V c) {
    if constexpr ((mask & fusion) != 0) {
        return fused_multiply_add(a, b, c);
    } else {
        return a * b + c;
    }
}

template <DoubleVector V>
VEXORA_VECTOR_HELPER BitsOf<V> to_bits(V d) {
    return std::bit_cast<BitsOf<V>>(d);
}
VEXORA_VECTOR_HELPER Double4 from_bits(Bits4 u) { return std::bit_cast<Double4>(u); }
VEXORA_VECTOR_HELPER Double8 from_bits(Bits8 u) { return std::bit_cast<Double8>(u); }
template <DoubleVector V>
VEXORA_VECTOR_HELPER V magnitude(V x) {
    return from_bits(to_bits(x) & 0x7fffffffffffffff);
}

/// reduce<mask> lane by lane.
template <unsigned mask, DoubleVector V>
VEXORA_VECTOR_HELPER std::pair<V, BitsOf<V>> reduce(V x) {
    if constexpr ((mask & round_half_away) != 0) {
        const V kd = round_half_away_from_zero(x * InvLn2N);
        return {kd, to_bits(kd + Shift)};
    } else {
        const V shifted = multiply_add<mask, fuse_reduction>(x, splat<V>(InvLn2N), splat<V>(Shift));
        return {shifted - Shift, to_bits(shifted)};
    }
}

#if VEXORA_EIGHT_LANES
/*
 * The table's two words for eight lanes' indices i (even, < 256), each word gathered by one
 * instruction. Written as assembly: an intrinsic would need the eight-lane target on this
 * function itself, while the instruction needs it only where this is inlined, eight-lane code.
 */
VEXORA_VECTOR_HELPER std::pair<Bits8, Bits8> gathered_entries(Bits8 i) {
    Bits8 tails, scales;
    unsigned char lanes = 0xff;  // the instruction clears each lane's bit as it loads it
    __asm__("vpgatherqq (%[table],%[i],8), %[tails]%{%[lanes]%}"
            : [tails] "=&v"(tails), [lanes] "+Yk"(lanes)
            : [table] "r"(table), [i] "v"(i), "m"(table));
    lanes = 0xff;
    __asm__("vpgatherqq 8(%[table],%[i],8), %[scales]%{%[lanes]%}"
            : [scales] "=&v"(scales), [lanes] "+Yk"(lanes)
            : [table] "r"(table), [i] "v"(i), "m"(table));
    return {tails, scales};
}
#endif

/*
 * The table's two words for every lane's index i (even, < 256): {tail, scale bits}.
 *
 * Each entry is read with one 16-byte load. Four lanes' indices are moved out of the vector one
 * by one; eight are narrowed to a byte each with one AVX-512 instruction, moved out at once and
 * taken apart by shifts, since moving each lane out takes a shuffle and shuffles are what the
 * eight-lane sequence has most of (the same narrowing costs four lanes more than it saves with
 * AVX2). The entries of the even lanes are put side by side, and those of the odd lanes, so that
 * one interleave within each 128-bit part gives all the tails and another all the scale words.
 */
template <class B>
VEXORA_VECTOR_HELPER std::pair<B, B> table_entries(B i) {
    constexpr int width = width_of<B>;
#if VEXORA_EIGHT_LANES
    if constexpr (width == 8) {
        if (gather_lookups) {
            return gathered_entries(i);
        }
    }
#endif
    const auto index = [&] {
        if constexpr (width == 4) {
            return [i](int k) VEXORA_INLINE_LAMBDA { return i[k]; };
        } else {
            using Bytes8 = std::uint8_t __attribute__((vector_size(8)));
            const auto bytes = std::bit_cast<std::uint64_t>(__builtin_convertvector(i >> 1, Bytes8));
            // Masked to 7 bits here too, so that the bound of the index is plain where it is used.
            return [bytes](int k) VEXORA_INLINE_LAMBDA { return 2 * ((bytes >> (8 * k)) & 127); };
        }
    }();
    const auto entry = [&](int k) VEXORA_INLINE_LAMBDA {
        Bits2 words;
        std::memcpy(&words, table + index(k), sizeof words);
        return words;
    };
    const auto pair = [&](int k) VEXORA_INLINE_LAMBDA {
        return Bits4{__builtin_shufflevector(entry(k), entry(k + 2), 0, 1, 2, 3)};
    };
    if constexpr (width == 4) {
        const Bits4 even = pair(0), odd = pair(1);
        return {__builtin_shufflevector(even, odd, 0, 4, 2, 6), __builtin_shufflevector(even, odd, 1, 5, 3, 7)};
    } else {
        const Bits8 even = join(pair(0), pair(4)), odd = join(pair(1), pair(5));
        return {__builtin_shufflevector(even, odd, 0, 8, 2, 10, 4, 12, 6, 14),
                __builtin_shufflevector(even, odd, 1, 9, 3, 11, 5, 13, 7, 15)};
    }
}

/// What every lane's result is made of: tmp = exp(r) - 1 less the table's tail error, the bits of
/// the scale 2^(k/128) (exact only for |x| < 512) and the reduction's integer k in the low bits.
template <DoubleVector V>
struct Reduced {
    V tmp;
    BitsOf<V> sbits, ki;
};

/// The reduction, the table and the polynomial of a vector of values.
template <unsigned mask, DoubleVector V>
VEXORA_VECTOR_HELPER Reduced<V> reduce_lanes(V x) {
    const auto [kd, ki] = reduce<mask>(x);
    const V r = multiply_add<mask, fuse_low>(kd, splat<V>(NegLn2loN),
                                             multiply_add<mask, fuse_high>(kd, splat<V>(NegLn2hiN), x));
    const auto [tail_bits, scale_bits] = table_entries((ki & 127) << 1);
    const V tail = from_bits(tail_bits);
    const BitsOf<V> sbits = scale_bits + (ki << 45);
    const V r2 = r * r;
    const V t = multiply_add<mask, fuse_t>(r2, multiply_add<mask, fuse_c23>(r, splat<V>(C3), splat<V>(C2)), tail + r);
    const V tmp = multiply_add<mask, fuse_tmp>(r2 * r2, multiply_add<mask, fuse_c45>(r, splat<V>(C5), splat<V>(C4)), t);
    return {tmp, sbits, ki};
}

/// Below it exp is +0 for every variant: 2^-1075 e^-0.0068 and the sequence's error far smaller
/// than that margin, so the subnormal rounding gives 0.
inline constexpr double zero_below = -745.14;

/*
 * The special lanes' 64-bit integer constants (at_least's floor, the lift, the bits of 1.0), read
 * from memory as vectors. GCC 12 builds a vector of a 64-bit integer constant afresh for every
 * vector, with an integer move and a broadcast on the port that the gathers and shuffles keep busy.
 * These are variables, never written, so that it cannot fold them.
 */
struct alignas(64) LaneBits {
    std::uint64_t lanes[8];
    /// The constant in every lane of a vector B of four or eight lanes.
    template <class B>
    VEXORA_VECTOR_HELPER B vector() const {
        B v;
        std::memcpy(&v, lanes, sizeof v);
        return v;
    }
};
consteval LaneBits lane_bits(std::uint64_t bits) { return {{bits, bits, bits, bits, bits, bits, bits, bits}}; }
inline LaneBits zero_below_bits = lane_bits(std::bit_cast<std::uint64_t>(zero_below)),
                one_bits = lane_bits(std::bit_cast<std::uint64_t>(1.0)),
                lift_bits = lane_bits(std::uint64_t{1022} << 52);

/*
 * exp for lanes with k < 0 beyond -512 (exp_beyond_512), from s, the scale times 2^1022 (`lift`,
 * 1022 << 52 in those lanes, added to its bits), st = s tmp and y = s + st. Where y >= 1 the
 * result 2^-1022 y is normal: the bits of y with the exponent lowered by the same `lift`, which
 * the caller has in a register where a constant would be built again. Below, it is subnormal (or
 * +0, never -0), rounded once: y is added to 1 and taken back as the C library does, and since
 * hi + lo then lies in [1, 2], its low bits are those of the result (2^52 those of 2^-1022).
 * Every operation on normal values: a subnormal operand or result costs the processor a slow
 * assist per instruction.
 */
template <DoubleVector V>
VEXORA_VECTOR_HELPER V scaled_down_result(V s, V st, V y, BitsOf<V> lift) {
    const V normal = from_bits(to_bits(y) - lift);
    const V one = splat<V>(1.0);
    const V hi = one + y;
    const V lo = ((one - hi) + y) + ((s - y) + st);
    const V subnormal = from_bits(to_bits(hi + lo) - one_bits.vector<BitsOf<V>>());
    return select(less_ordered(y, 1.0), subnormal, normal);
}

/// The larger of x and a negative floor (`floor`, its bits in every lane) in every lane, x not NaN.
/// The bits of negative doubles, as unsigned integers, order as their magnitudes, and those of the
/// others lie below them all, so the smaller bits are the larger value: one instruction at eight
/// lanes (AVX-512 has an unsigned minimum of 64-bit lanes; AVX2 has not, and four lanes compare).
template <DoubleVector V>
VEXORA_VECTOR_HELPER V at_least(V x, const LaneBits& floor) {
    const BitsOf<V> floor_bits = floor.vector<BitsOf<V>>();
    if constexpr (width_of<V> == 4) {
        return select(less_ordered(x, from_bits(floor_bits)), from_bits(floor_bits), x);
    } else {
        const BitsOf<V> bits = to_bits(x);
        return from_bits(from_lanes<BitsOf<V>>(
            [&](std::size_t k) VEXORA_INLINE_LAMBDA { return bits[k] < floor_bits[k] ? bits[k] : floor_bits[k]; }));
    }
}

/*
 * The special cases that real exponents meet: every lane below 512 and none NaN, some at or below
 * -512 (a peak's tails, the lanes marked in `down`). Lane by lane exp_scalar<mask>, as exp_special
 * below, without a branch: a branch taken for a third of the vectors, as on the subnormal lanes
 * of a peak's tails, costs more than computing every case on every lane. Lanes below zero_below
 * run the sequence on zero_below itself, which rounds to +0.
 */
template <unsigned mask, DoubleVector V>
VEXORA_VECTOR_HELPER V exp_below_512(V x, LongOf<V> down) {
    const V xs = at_least(x, zero_below_bits);
    const Reduced<V> p = reduce_lanes<mask>(xs);
    // k < 0 beyond -512: the scale times 2^1022 (scaled_down_result).
    const auto lift = std::bit_cast<BitsOf<V>>(down & lift_bits.vector<LongOf<V>>());
    const V s = from_bits(p.sbits + lift);
    const V st = s * p.tmp;
    return select(down, scaled_down_result(s, st, s + st, lift), multiply_add<mask, fuse_scale>(s, p.tmp, s));
}

/*
 * A vector of values of which at least one is NaN or of magnitude 512 or more (`outside`: the sign
 * bits of exp_lanes), lane by lane exp_scalar<mask>.
 *
 * Every lane computes only on values in the normal range: a subnormal operand or result costs the
 * processor a slow assist per instruction, and a lane far out of range would otherwise carry
 * garbage scales (subnormal among them) through every case. A vector of only a peak's tails and
 * ordinary values takes exp_below_512, or returns +0 at once if every lane is below zero_below.
 * Of the others, a vector of only +0, infinity and NaN results returns at once; other lanes beyond
 * +-800 are clamped there, where the scaled cases still give +0 and infinity from normal values;
 * the lanes whose result is 1 + x (NaN and |x| < 2^-54) run the sequence on 0 and are replaced at
 * the end; and the scale is brought into the normal range per lane before it is used. The rare
 * parts (results beyond 2^512, 1 + x) are computed only when a lane needs them.
 */
template <unsigned mask, DoubleVector V>
VEXORA_VECTOR_HELPER V exp_special(V x, V ax, LongOf<V> outside) {
    using Long = LongOf<V>;
    const V one = splat<V>(1.0);
    // The lanes are told apart by sign bits, without comparisons (see exp_lanes): those of the
    // differences of |x|'s bits from thresholds', and of x - c for x not NaN.
    const Long magnitude_bits = std::bit_cast<Long>(ax);
    const auto bits = [](double c) VEXORA_INLINE_LAMBDA { return std::bit_cast<std::int64_t>(c); };
    // Lanes of 512 or more (outside, and x's sign bit clear) or NaN (beyond infinity's bits).
    const Long unusual = (outside & ~std::bit_cast<Long>(x)) | (bits(HUGE_VAL) - magnitude_bits);
    if (!any_sign(unusual)) [[likely]] {
        // Every lane below 512 and none NaN: x - zero_below is negative where x is below zero_below.
        if (all_signs(x - zero_below)) {
            return V{};
        }
        return exp_below_512<mask>(x, outside >> 63);
    }
    // Done at once: every lane below zero_below (+0), of magnitude 1024 or more (+0, infinity) or
    // NaN (1 + x, the quiet NaN). A lane of neither kind has |x| < 1024 and x - zero_below >= 0.
    const Long left = (magnitude_bits - bits(1024.0)) & ~std::bit_cast<Long>(x - zero_below);
    if (!any_sign(left)) {
        return select(unequal(x, x), one + x, keep(splat<V>(HUGE_VAL), greater(x, 0.0)));
    }
    // x < zero_below gives +0, x >= 1024 infinity, NaN 1 + x (the quiet NaN).
    const Long zero = less(x, zero_below);
    const Long plain = greater_equal(ax, smallest_ordinary) & equal(x, x);  // not 1 + x
    V xs = select(less(x, -800.0), splat<V>(-800.0), x);
    xs = keep(select(greater(xs, 800.0), splat<V>(800.0), xs), plain);
    const Reduced<V> p = reduce_lanes<mask>(xs);
    // 512 <= |x|: the sign of k is that of x (exp_beyond_512).
    const Long up = greater_equal(xs, beyond_ordinary), down = less_equal(xs, -beyond_ordinary);
    // The scale, times 2^-1009 where k > 0 and 2^1022 where k < 0.
    const Long adjust = (up & splat<Long>(-(std::int64_t{1009} << 52))) | (down & lift_bits.vector<Long>());
    const auto lift = std::bit_cast<BitsOf<V>>(adjust);
    const V s = from_bits(p.sbits + lift);
    // Ordinary lanes: s + s tmp.
    V result = multiply_add<mask, fuse_scale>(s, p.tmp, s);
    if (any_of(up)) [[unlikely]] {
        result = select(up, 0x1p1009 * multiply_add<mask, fuse_large>(s, p.tmp, s), result);
    }
    const V st = s * p.tmp;
    result = select(down, scaled_down_result(s, st, s + st, lift), result);
    result = keep(result, ~zero);
    if (!all_of(plain)) [[unlikely]] {
        result = select(plain, result, one + x);
    }
    return result;
}

/// exp of a vector of values with the multiply-adds of `mask` fused; lane for lane
/// exp_scalar<mask>.
template <unsigned mask, DoubleVector V>
VEXORA_VECTOR_HELPER V exp_lanes(V x) {
    const V ax = magnitude(x);
    // |x| < beyond_ordinary, NaN beyond, as integers the bits of |x| (which order as the magnitudes
    // do): the difference's sign bit marks the other lanes without a comparison. The lanes below
    // smallest_ordinary, whose result is 1 + x, need no test: the sequence gives k = 0, r = x and
    // tmp = x exactly (x^2 / 2 is below half an ulp of x), and scale + scale tmp is 1 + x.
    const LongOf<V> magnitude_bits = std::bit_cast<LongOf<V>>(ax);
    const LongOf<V> outside = std::bit_cast<std::int64_t>(beyond_ordinary) - 1 - magnitude_bits;
    if (any_sign(outside)) [[unlikely]] {
        return exp_special<mask>(x, ax, outside);
    }
    const Reduced<V> p = reduce_lanes<mask>(x);
    const V scale = from_bits(p.sbits);
    return multiply_add<mask, fuse_scale>(scale, p.tmp, scale);
}

/// Four values at a time.
template <unsigned mask>
VEXORA_VECTOR_HELPER Double4 exp4(Double4 x) {
    return exp_lanes<mask>(x);
}

/// Eight values at a time (compiled only for the eight-lane target, see vector.hpp).
template <unsigned mask>
VEXORA_VECTOR_HELPER Double8 exp8(Double8 x) {
    return exp_lanes<mask>(x);
}


}  // namespace vexora::simd::exp
