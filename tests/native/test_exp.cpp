// The exact exp: its four- and eight-lane vectors lane by lane against exp_scalar<mask> for every
// sequence of the list, every input in every lane position beside other kinds of inputs; the probe telling the
// sequences apart; the self-check sampling the kernels' exponents; and the mask this process
// selected against the C library's exp.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "exp_target.hpp"
#include "harness.hpp"

namespace {

namespace ee = vexora::simd::exp;
using harness::Random;

double from_bits(std::uint64_t u) { return std::bit_cast<double>(u); }

constexpr double inf = std::numeric_limits<double>::infinity();

// Edges of the sequence's cases and of double precision.
// clang-format off
const double special_inputs[] = {
    0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1.fffffffffffffp-1023, -0x1.fffffffffffffp-1023, 0x1p-1022, -0x1p-1022,
    0x1p-54, -0x1p-54, 0x1.fffffffffffffp-55, -0x1.fffffffffffffp-55, 0x1p-53, 1.0, -1.0, 0x1.62e42fefa39efp-8,
    0x1.62e42fefa39efp+9, 0x1.62e42fefa39f0p+9, 709.79, -708.3964185322641, -0x1.74385446d71c3p+9, -745.1332191019411,
    -745.14, -1022.0 * 0x1.62e42fefa39efp-1, 512.0, -512.0, 0x1.fffffffffffffp+8, -0x1.fffffffffffffp+8, 1024.0,
    -1024.0, 0x1.fffffffffffffp+9, -0x1.fffffffffffffp+9, 1e300, -1e300, std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(), inf, -inf, std::numeric_limits<double>::quiet_NaN(),
    -std::numeric_limits<double>::quiet_NaN(), from_bits(0x7ff8000000000123), from_bits(0x7ff0000000000001),
    from_bits(0xfff4000000000000),
};
// clang-format on

double within_ulps(Random& random, double centre, int ulps) {
    return from_bits(harness::bits(centre) + static_cast<std::uint64_t>(random.integer(-ulps, ulps)));
}

double input_of_kind(Random& random, int kind) {
    switch (kind) {
        case 0: return random.uniform(-50.0, 0.0);
        case 1: return random.uniform(-745.0, 710.0);
        case 2: return random.uniform(-745.2, -708.3);  // subnormal results
        case 3: {
            constexpr double edges[] = {512.0, -512.0, 1024.0, -1024.0, 0x1p-54, -0x1p-54};
            return within_ulps(random, edges[random.next() % 6], 64);
        }
        case 4: return special_inputs[random.next() % std::size(special_inputs)];
        case 5: return from_bits(random.next() & 0x800fffffffffffff);  // zeros and subnormals
        case 6: return random.uniform(-1e5, -746.0);                   // +0, the far side of the special cases
        case 7: return random.uniform(-745.0, -50.0);                  // the tails of narrow peaks
        case 8: return random.uniform(-1024.0, -512.0);                // scaled into the normal range, k < 0
        case 9: return random.uniform(512.0, 1024.0);                  // scaled, k > 0: large results and infinity
        default: return from_bits(random.next());                      // any bits: every exponent, NaN payloads
    }
}
constexpr int kinds = 11;

/// Inputs of every kind: the first half mixes kinds within each vector, the second half keeps
/// one kind over runs of vectors (so that vectors of only ordinary inputs take the short path).
/// Seven more at the end repeat the first seven, so that a window of up to eight may start
/// anywhere.
constexpr std::size_t widest = 8;
std::vector<double> exp_inputs(std::size_t count) {
    Random random{42};
    std::vector<double> inputs(count + widest - 1);
    for (std::size_t i = 0; i < count; ++i) {
        const int kind = static_cast<int>(i < count / 2 ? i % kinds : (i / 64) % kinds);
        inputs[i] = input_of_kind(random, kind);
    }
    for (std::size_t i = 0; i < std::size(special_inputs); ++i) {
        inputs[i * 7 % count] = special_inputs[i];
    }
    for (std::size_t k = 0; k + 1 < widest; ++k) {
        inputs[count + k] = inputs[k];
    }
    return inputs;
}

constexpr std::size_t input_count = 1 << 18;

template <unsigned mask, int width>
void vector_against_scalar(const std::vector<double>& inputs) {
    using V = typename vexora::simd::Vectors<width>::Double;
    const std::size_t n = input_count;
    std::vector<double> scalar(n), vector(n);
    for (std::size_t i = 0; i < n; ++i) {
        scalar[i] = ee::exp_scalar<mask>(inputs[i]);
    }
    // Windows starting at `shift`: input j sits in lane (j - shift) mod width.
    for (std::size_t shift = 0; shift < width; ++shift) {
        on_width_target_if_supported<width>([&] {
            for (std::size_t i = 0; i < n; i += width) {
                const V y = ee::exp_lanes<mask>(vexora::simd::load<V>(inputs.data() + shift + i));
                for (std::size_t k = 0; k < width; ++k) {
                    vector[(shift + i + k) % n] = y[k];
                }
            }
        });
        for (std::size_t j = 0; j < n; ++j) {
            CHECK_BITS(vector[j], scalar[j], "mask %#x, %d lanes, x = %a in lane %zu", mask, width, inputs[j],
                       (j + width - shift) % width);
        }
    }
}

template <unsigned mask, int width>
void scalar_against_libm(const std::vector<double>& inputs) {
    using V = typename vexora::simd::Vectors<width>::Double;
    std::vector<double> vector(input_count);
    on_width_target_if_supported<width>([&] {
        for (std::size_t i = 0; i < input_count; i += width) {
            vexora::simd::store(vector.data() + i, ee::exp_lanes<mask>(vexora::simd::load<V>(inputs.data() + i)));
        }
    });
    for (std::size_t i = 0; i < input_count; ++i) {
        const double library = std::exp(inputs[i]);
        CHECK_BITS(ee::exp_scalar<mask>(inputs[i]), library, "mask %#x, x = %a", mask, inputs[i]);
        CHECK_BITS(vector[i], library, "mask %#x, x = %a", mask, inputs[i]);
    }
}

}  // namespace

TEST(exp_vector_equals_scalar) {
    const std::vector<double> inputs = exp_inputs(input_count);
    const bool selected = ee::gather_lookups;
    for_each_width([&]<int width>() {
        // Eight lanes look the table up both ways, whichever this process selected.
        for (const bool gather : {false, true}) {
            if (gather && width != 8) {
                continue;
            }
            ee::gather_lookups = gather;
            ee::for_each_sequence([&]<unsigned mask>(std::size_t) { vector_against_scalar<mask, width>(inputs); });
        }
    });
    ee::gather_lookups = selected;
}

TEST(exp_sequences_differ) {
    // Each sequence of the list differs from every other on the probe, or the choice could not
    // tell them apart.
    ee::for_each_sequence([&]<unsigned mask>(std::size_t s) {
        ee::for_each_sequence([&]<unsigned other>(std::size_t t) {
            if (t <= s) {
                return;
            }
            bool differ = false;
            for (const double x : ee::probe_inputs) {
                differ = differ || harness::bits(ee::exp_scalar<mask>(x)) != harness::bits(ee::exp_scalar<other>(x));
            }
            CHECK(differ, "%s and %s agree on every probe input", ee::sequences[s].name, ee::sequences[t].name);
        });
    });
}

TEST(exp_reductions_round_ties_their_own_way) {
    // Where x * N/ln2 rounds to a half-integer k + 1/2, the rounding reduction takes the integer
    // away from zero; the shift reduction rounds the exact product, which lies on one side. Both
    // keep k's low bits where the table index and the scale take them, in every lane.
    constexpr unsigned shift = ee::fused, rounding = ee::fused | ee::round_half_away;
    int ties = 0;
    for (std::int64_t k = -137'611; k <= 131'076; k += 997) {
        const double half = static_cast<double>(k) + 0.5;
        const std::uint64_t centre = harness::bits(half / ee::InvLn2N);
        for (std::uint64_t u = centre - 8; u <= centre + 8; ++u) {
            const double x = from_bits(u);
            if (x * ee::InvLn2N != half) {
                continue;
            }
            ++ties;
            const auto [kd, ki] = ee::reduce<rounding>(x);
            CHECK(kd == (k >= 0 ? half + 0.5 : half - 0.5), "x = %a: k = %a for the tie %a", x, kd, half);
            const auto [shifted, shifted_ki] = ee::reduce<shift>(x);
            const double exact_side = std::fma(x, ee::InvLn2N, -half) > 0.0 ? half + 0.5 : half - 0.5;
            CHECK(shifted == exact_side, "x = %a: shift reduction gives %a for the tie %a", x, shifted, half);
            for (const auto& [d, i] : {std::pair{kd, ki}, std::pair{shifted, shifted_ki}}) {
                CHECK((i & 127) == (static_cast<std::uint64_t>(static_cast<std::int64_t>(d)) & 127) &&
                          (i << 45) == static_cast<std::uint64_t>(static_cast<std::int64_t>(d)) << 45,
                      "x = %a: k = %a, bits %#llx", x, d, static_cast<unsigned long long>(i));
            }
            on_exp_target_if_supported([&] {
                const auto [lanes_kd, lanes_ki] = ee::reduce<rounding>(vexora::simd::Double4{1.0, x, -x, 0.25});
                CHECK(lanes_kd[1] == kd && lanes_kd[2] == -kd && lanes_ki[1] == ki, "x = %a in a vector", x);
            });
        }
    }
    CHECK(ties > 100, "only %d inputs on a tie", ties);
}

TEST(exp_self_check_samples_the_kernels_exponents) {
    namespace sc = ee::self_check;
    std::vector<double> inputs(sc::count - sc::probes);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        inputs[i] = sc::input(i, sc::seed);
        CHECK(std::isfinite(inputs[i]), "input %zu is %a", i, inputs[i]);
    }
    // Every binade of (-1, -2^-54] (below it exp is 1 + x), each Gaussian exponent at eighths of a
    // width, and many in [-1, 0), where about a quarter of the builder's exponents fall.
    for (int binade = -54; binade < 0; ++binade) {
        const double low = -std::ldexp(1.0, binade + 1), high = -std::ldexp(1.0, binade);
        const auto in = std::count_if(inputs.begin(), inputs.end(), [&](double x) { return x > low && x <= high; });
        CHECK(in >= 16, "%td inputs in (%a, %a]", in, low, high);
    }
    for (int k = 1; k * k <= 8 * 8 * 2 * 745; ++k) {
        const double exponent = -0.5 * (k / 8.0) * (k / 8.0);
        CHECK(std::find(inputs.begin(), inputs.end(), exponent) != inputs.end(), "-(%d/8)^2/2 missing", k);
    }
    const auto near_one = std::count_if(inputs.begin(), inputs.end(), [](double x) { return x >= -1.0 && x < 0.0; });
    CHECK(near_one >= static_cast<std::ptrdiff_t>(1024 + 8 + sc::kernels / 5), "%td inputs in [-1, 0)", near_one);
}

TEST(exp_selected_equals_libm) {
    const std::vector<double> inputs = exp_inputs(input_count);
    const ee::Path path = ee::selected_path();
    std::printf("exp: this process selected the %s path, %d lanes%s\n", ee::path_name(path), ee::selected_lanes(),
                ee::gather_lookups ? ", gathered lookups" : "");
    if (path == ee::Path::libm) {
        std::printf("exp: no sequence to compare with the C library's exp\n");
    }
    ee::for_each_sequence([&]<unsigned mask>(std::size_t s) {
        if (ee::Path{s} == path) {
            scalar_against_libm<mask, 4>(inputs);
#if VEXORA_EIGHT_LANES
            if (ee::selected_lanes() == 8) {
                scalar_against_libm<mask, 8>(inputs);
            }
#endif
        }
    });
}
