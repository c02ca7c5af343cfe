// Searches of sorted axes against linear scans: search_sorted in NumPy's order (duplicates, NaN
// at the end, strided and reversed views, empty axes) from any hint; first_not_below and
// search_from on a padded axis.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/search.hpp"
#include "harness.hpp"

namespace {

using harness::Random;
using vexora::core::Index;
using vexora::core::View1;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

/// a < b in NumPy's sort order for float64: NaN after every number, NaNs equal.
bool numpy_less(double a, double b) {
    if (std::isnan(a)) {
        return false;
    }
    return std::isnan(b) || a < b;
}

/// Ascending axis of `n` values from a few distinct ones (so with duplicates, signed zeros and
/// infinities), then `nans` NaNs.
std::vector<double> sorted_axis(Random& random, Index n, Index nans) {
    constexpr double pool[] = {-inf, -3.5, -1.0, -0.0, 0.0, 0.25, 1.0, 2.0, 2.5, 7.0, 1e300, inf};
    std::vector<double> axis;
    for (Index i = 0; i < n; ++i) {
        axis.push_back(random.next() % 3 == 0 ? pool[random.next() % std::size(pool)] : random.uniform(-5.0, 10.0));
    }
    std::sort(axis.begin(), axis.end());
    axis.insert(axis.end(), nans, nan);
    return axis;
}

/// Keys: every element, the values between neighbours, beyond both ends, infinities and NaN.
std::vector<double> keys_for(const std::vector<double>& axis) {
    std::vector<double> keys{-inf, inf, nan, -1e308, 1e308, 0.0, -0.0, 3.0};
    for (std::size_t i = 0; i < axis.size(); ++i) {
        keys.push_back(axis[i]);
        if (i > 0) {
            keys.push_back(axis[i - 1] + (axis[i] - axis[i - 1]) / 2);
        }
    }
    return keys;
}

/// The view of `axis` through a layout in memory: plain, every other element, reversed.
struct Laid {
    std::vector<double> memory;
    View1<const double> view;
};

Laid lay_out(const std::vector<double>& axis, int layout) {
    const auto n = static_cast<Index>(axis.size());
    Laid laid;
    if (layout == 0) {
        laid.memory = axis;
        laid.view = {laid.memory.data(), n, sizeof(double)};
    } else if (layout == 1) {
        laid.memory.assign(2 * axis.size() + 1, -inf);  // the gaps would change the answers if read
        for (std::size_t i = 0; i < axis.size(); ++i) {
            laid.memory[2 * i] = axis[i];
        }
        laid.view = {laid.memory.data(), n, 2 * sizeof(double)};
    } else {
        laid.memory.assign(axis.rbegin(), axis.rend());
        laid.view = {laid.memory.data() + std::max<Index>(n - 1, 0), n, -static_cast<Index>(sizeof(double))};
    }
    return laid;
}

}  // namespace

TEST(search_sorted_equals_linear_scan) {
    Random random{11};
    for (const Index n : {0, 1, 2, 3, 7, 8, 33, 200}) {
        for (const Index nans : {0, 1, 3}) {
            const std::vector<double> axis = sorted_axis(random, n, nans);
            const auto size = static_cast<Index>(axis.size());
            for (int layout = 0; layout < 3; ++layout) {
                const Laid laid = lay_out(axis, layout);
                for (const double key : keys_for(axis)) {
                    Index left = 0, right = 0;
                    while (left < size && numpy_less(axis[left], key)) {
                        ++left;
                    }
                    while (right < size && !numpy_less(key, axis[right])) {
                        ++right;
                    }
                    for (int h = 0; h < 6; ++h) {
                        const Index hint = h < 2 ? h * size : random.integer(-2, size + 2);
                        CHECK(vexora::core::search_sorted<false>(laid.view, key, hint) == left,
                              "left: key %a hint %td size %td layout %d", key, hint, size, layout);
                        CHECK(vexora::core::search_sorted<true>(laid.view, key, hint) == right,
                              "right: key %a hint %td size %td layout %d", key, hint, size, layout);
                    }
                }
            }
        }
    }
}

TEST(first_not_below_and_search_from_equal_linear_scan) {
    Random random{12};
    for (const Index n : {0, 1, 2, 3, 5, 8, 40, 300}) {
        std::vector<double> axis = sorted_axis(random, n, 0);
        // Padded as search_from reads it: -inf before, three +inf after.
        std::vector<double> padded{-inf};
        padded.insert(padded.end(), axis.begin(), axis.end());
        padded.insert(padded.end(), 3, inf);
        const double* data = padded.data() + 1;
        for (const double key : keys_for(axis)) {
            Index expected = 0;
            while (!std::isnan(key) && expected < n && key > axis[expected]) {
                ++expected;
            }
            // Every hint near the answer, where search_from answers without searching, and some far off.
            for (Index hint = 0; hint <= n; ++hint) {
                if (std::abs(hint - expected) > 3 && random.next() % 8 != 0) {
                    continue;
                }
                CHECK(vexora::core::first_not_below(data, n, key, hint) == expected, "key %a hint %td n %td", key, hint,
                      n);
                CHECK(vexora::core::search_from(data, n, key, hint) == expected, "key %a hint %td n %td", key, hint, n);
            }
        }
    }
}
