// Division by a rounded reciprocal with corrections, against the division instruction bit for bit
// at each vector width: dividends and divisors of many magnitudes, quotients next to rounding
// boundaries, zeros of both signs, and the lanes and divisors that must take the divider.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "exp_target.hpp"
#include "harness.hpp"
#include "simd/divide.hpp"

namespace {

using harness::Random;

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

/// A random significand times 2^e, e uniform in [low, high], of either sign if `signed_`.
double random_double(Random& random, int low, int high, bool signed_ = true) {
    const double significand = 1.0 + std::ldexp(static_cast<double>(random.next() >> 12), -52);
    const double magnitude = std::ldexp(significand, static_cast<int>(random.integer(low, high)));
    return signed_ && random.next() % 2 ? -magnitude : magnitude;
}

/// Divisors whose reciprocals round farthest: significands of all ones, or just above a power of 2.
double hard_divisor(Random& random) {
    const std::uint64_t low_bits = random.next() % 256;
    const std::uint64_t significand = random.next() % 2 ? (std::uint64_t{1} << 52) - 1 - low_bits : low_bits;
    return std::bit_cast<double>((static_cast<std::uint64_t>(1023 + random.integer(-40, 40)) << 52) | significand);
}

/// Dividends whose quotients by `divisor` lie next to the midpoint between two doubles, where a
/// quotient off by less than an ulp rounds the other way.
double near_midpoint(Random& random, double divisor) {
    const double q = random_double(random, -30, 30, false);
    return (q + std::ldexp(std::nextafter(q, inf) - q, -1)) * divisor;
}

/// Every dividend over `divisor`, a vector at a time; checks each quotient against the division.
template <int width>
void check_quotients(const std::vector<double>& dividends, double divisor, const char* what) {
    using V = typename vexora::simd::Vectors<width>::Double;
    std::vector<double> quotients(dividends.size());
    on_width_target_if_supported<width>([&] {
        const vexora::simd::ReciprocalDivision<V> divide(divisor);
        for (std::size_t k = 0; k + width <= dividends.size(); k += width) {
            vexora::simd::store(quotients.data() + k, divide(vexora::simd::load<V>(dividends.data() + k)));
        }
    });
    std::size_t wrong = 0, first = 0;
    for (std::size_t k = 0; k + width <= dividends.size(); ++k) {
        if (!harness::same(quotients[k], dividends[k] / divisor) && wrong++ == 0) {
            first = k;
        }
    }
    CHECK(wrong == 0, "%s, %d lanes: %zu of %zu quotients differ, the first %a / %a = %a, not %a", what, width, wrong,
          dividends.size(), dividends[first], divisor, quotients[first], dividends[first] / divisor);
}

}  // namespace

TEST(reciprocal_division_matches_the_divider) {
    for_each_width([&]<int width>() {
        Random random{2026};
        std::vector<double> dividends(1 << 14);
        for (int trial = 0; trial < 64; ++trial) {
            const double divisor = trial % 2 ? hard_divisor(random) : random_double(random, -60, 60, false);
            for (double& a : dividends) {
                a = random_double(random, -60, 60);
            }
            check_quotients<width>(dividends, divisor, "random dividends");
            for (double& a : dividends) {
                a = near_midpoint(random, divisor);
            }
            check_quotients<width>(dividends, divisor, "quotients next to a midpoint");
        }
        // Zeros of both signs among ordinary lanes, and every kind of lane the reciprocal must
        // leave to the divider, each in a vector of ordinary lanes.
        constexpr double specials[] = {0.0,
                                       -0.0,
                                       0x1p-400,
                                       -0x1p-400,
                                       std::nextafter(0x1p-400, 0.0),
                                       0x1p400,
                                       -0x1p400,
                                       std::nextafter(0x1p400, inf),
                                       0x1p-1074,
                                       -0x1p-1030,
                                       1e300,
                                       inf,
                                       -inf,
                                       quiet_nan};
        for (const double special : specials) {
            for (double& a : dividends) {
                a = random.next() % 5 == 0 ? special : random_double(random, -60, 60);
            }
            check_quotients<width>(dividends, random_double(random, -60, 60, false), "special lanes");
        }
        // Divisors the reciprocal must leave to the divider.
        constexpr double divisors[] = {0.0,       -0.0, -1.5,      0x1p-401, 0x1p401,
                                       0x1p-1074, inf,  quiet_nan, 0x1p-400, 0x1p400};
        for (const double divisor : divisors) {
            for (double& a : dividends) {
                a = random_double(random, -60, 60);
            }
            check_quotients<width>(dividends, divisor, "divisors at and beyond the range");
        }
    });
}
