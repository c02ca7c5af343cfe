// Row interpolation: a long run, cut into four stretches searched side by side, against the same
// run block by block, and the blocks against a plain point-by-point loop with linear searches.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/interpolation.hpp"
#include "harness.hpp"

namespace {

namespace ip = vexora::core::interpolation;
using harness::Random;
using vexora::core::Index;

constexpr double inf = std::numeric_limits<double>::infinity();

/// `values` with `low` in front and `after` copies of `high` behind.
std::vector<double> padded(const std::vector<double>& values, double low, double high, int after) {
    std::vector<double> p{low};
    p.insert(p.end(), values.begin(), values.end());
    p.insert(p.end(), after, high);
    return p;
}

}  // namespace

TEST(interpolation_runs_equal_blocks_and_plain_loop) {
    Random random{51};
    // A reference axis over [0, 1000] with repeated energies, padded as the searches read it, and
    // two reference rows padded with NaN (no value outside the axis).
    const Index r = 300;
    std::vector<double> ref_values(r), low_values(r), high_values(r);
    for (double& v : ref_values) {
        v = std::round(random.uniform(0.0, 1000.0) * 4.0) / 4.0;
    }
    std::sort(ref_values.begin(), ref_values.end());
    for (Index i = 0; i < r; ++i) {
        low_values[i] = random.uniform(0.0, 1.0) / static_cast<double>(r);
        high_values[i] = random.next() % 50 == 0 ? 0.0 : random.uniform(0.0, 2.0) / static_cast<double>(r);
    }
    const std::vector<double> ref_memory = padded(ref_values, -inf, inf, 3);
    const std::vector<double> low_memory = padded(low_values, ip::nan, ip::nan, 1);
    const std::vector<double> high_memory = padded(high_values, ip::nan, ip::nan, 1);
    const double* ref = ref_memory.data() + 1;
    const ip::Bracket bracket{700.0, 1300.0, low_memory.data() + 1, high_memory.data() + 1};
    const double E_p = 1111.0, offset = E_p - bracket.low_E, span = bracket.high_E - bracket.low_E;

    for (const Index length : {100, 127, 128, 129, 131, 200, 255, 1000, 4099}) {
        // A region of the requested axis and its images on the reference scales; channels a
        // little beyond it map outside the reference axis.
        const ip::RegionMap map{200.0, 500.0, 150.0, 820.0, 90.0, 640.0};
        std::vector<double> e(length);
        for (double& v : e) {
            v = random.uniform(map.start - 40.0, map.start + map.width + 60.0);
        }
        std::sort(e.begin(), e.end());
        const ip::Run run{map, ref, r, bracket, offset, span};
        for (const Index start_hint : {Index{0}, r, random.integer(0, r)}) {
            std::vector<double> by_run(length), by_blocks(length);
            Index high_hint = start_hint, low_hint = start_hint;
            ip::interpolate_run(e.data(), length, run, high_hint, low_hint, by_run.data());
            high_hint = low_hint = start_hint;
            for (Index first = 0; first < length; first += ip::block) {
                const int count = static_cast<int>(std::min<Index>(ip::block, length - first));
                ip::interpolate_block(e.data() + first, count, run, high_hint, low_hint, by_blocks.data() + first);
            }
            for (Index j = 0; j < length; ++j) {
                // The point-by-point algorithm.
                const double f = (e[j] - map.start) / map.width;
                const auto reading = [&](double at, const double* row) {
                    Index i = 0;
                    while (i < r && at > ref[i]) {
                        ++i;
                    }
                    i = std::isnan(at) ? 0 : i;
                    return row[i - 1] + ((at - ref[i - 1]) * (row[i] - row[i - 1])) / (ref[i] - ref[i - 1]);
                };
                const double y_high = reading(f * map.high_width + map.high_start, bracket.high_row);
                const double y_low = reading(f * map.low_width + map.low_start, bracket.low_row);
                const double expected = y_low + (offset * (y_high - y_low)) / span;
                CHECK_SAME(by_run[j], by_blocks[j], "length %td, hint %td: channel %td", length, start_hint, j);
                CHECK_SAME(by_blocks[j], expected, "length %td, hint %td: channel %td", length, start_hint, j);
            }
        }
    }
}
