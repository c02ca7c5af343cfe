// Many dividends over one divisor, a vector at a time and without the divider: the quotients are
// those of the division instruction (correctly rounded), at a few multiply-adds each.
//
// From y, the divisor's reciprocal rounded, q = a y is within 1.5 ulp of a / b; one correction
// q + (a - b q) y, the residual exact by a fused multiply-add, brings it within one ulp; and then
// a second gives a / b correctly rounded (Markstein's theorem: y within half an ulp of 1/b, q
// within one ulp of a / b, no intermediate out of the normal range). The quotient's magnitude is
// computed from |a| and the sign put back, so that zeros keep theirs; lanes or divisors of
// magnitude out of [2^-400, 2^400], which the theorem does not cover, take the divider, as every
// lane does where the vector exp's target has no fused multiply-add (x86-64's baseline, where
// each would be a call).
//
// It pays where divisions are most of a loop's work: eight lanes' division costs about twice as
// much here. Beside other floating-point work it does not, since the divider runs beside the
// multiply-adds (dividing the exp's arguments by a reciprocal made the builder and the model
// slower).
#pragma once

#include <cstdint>

#include "vector.hpp"

namespace vexora::simd {

/// Division by `divisor` of every lane of vectors of type V.
template <DoubleVector V>
class ReciprocalDivision {
public:
    VEXORA_VECTOR_HELPER explicit ReciprocalDivision(double divisor)
        : usable_(exp_target_fuses && divisor >= 0x1p-400 && divisor <= 0x1p400),
          divisor_(splat<V>(divisor)),
          reciprocal_(splat<V>(1.0 / divisor)) {}

    /// a / divisor in every lane, the bits of the division instruction's quotient.
    VEXORA_VECTOR_HELPER V operator()(V a) const {
        using Long = LongOf<V>;
        const Long magnitude_bits = std::bit_cast<Long>(a) & std::int64_t{0x7fffffffffffffff};
        // Lanes other than zeros and magnitudes in [2^-400, 2^400] (NaN among them) have the sign
        // bit set here.
        const Long outside = ((magnitude_bits - bits(0x1p-400)) | (bits(0x1p400) - magnitude_bits)) & -magnitude_bits;
        if (!usable_ || any_sign(outside)) [[unlikely]] {
            return a / divisor_;
        }
        const V magnitude = std::bit_cast<V>(magnitude_bits);
        V q = magnitude * reciprocal_;
        q = fused_multiply_add(fused_multiply_add(-q, divisor_, magnitude), reciprocal_, q);
        q = fused_multiply_add(fused_multiply_add(-q, divisor_, magnitude), reciprocal_, q);
        return std::bit_cast<V>(std::bit_cast<Long>(q) | (std::bit_cast<Long>(a) & ~std::int64_t{0x7fffffffffffffff}));
    }

private:
    static constexpr std::int64_t bits(double d) { return std::bit_cast<std::int64_t>(d); }

    bool usable_;
    V divisor_, reciprocal_;
};

}  // namespace vexora::simd
