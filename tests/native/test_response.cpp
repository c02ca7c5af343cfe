// The Gaussian response builder: windows against linear scans in NumPy's order, and the rows over
// each exp against a plain loop per row with the matching scalar exp.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/response.hpp"
#include "exp_target.hpp"
#include "harness.hpp"

namespace {

namespace response = vexora::core::response;
using harness::Random;
using vexora::core::Index;
using vexora::core::View1;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

/// np.searchsorted(axis, key, side) by a linear scan (NaN sorts last).
Index searchsorted(View1<const double> axis, double key, bool right) {
    const auto less = [](double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); };
    Index i = 0;
    while (i < axis.size && (right ? !less(key, axis[i]) : less(axis[i], key))) {
        ++i;
    }
    return i;
}

struct Axis {
    const char* name;
    std::vector<double> memory;
    View1<const double> view;
};

/// Evenly spaced (where mirrored bins share exponents), uneven with repeated energies, strided
/// (so not contiguous) and with NaN at the end.
std::vector<Axis> axes(Random& random) {
    std::vector<Axis> all;
    const auto add = [&](const char* name, std::vector<double> memory, Index stride) {
        all.push_back({name, std::move(memory), {}});
        Axis& a = all.back();
        a.view = {a.memory.data(), static_cast<Index>(a.memory.size()) / stride,
                  stride * static_cast<Index>(sizeof(double))};
    };
    std::vector<double> even(203), uneven(150), spread(2 * 97), with_nan(60);
    for (std::size_t i = 0; i < even.size(); ++i) {
        even[i] = 10.0 + 0.5 * static_cast<double>(i);
    }
    for (double& v : uneven) {
        v = std::round(random.uniform(0.0, 80.0) * 2.0) / 2.0;
    }
    std::sort(uneven.begin(), uneven.end());
    for (std::size_t i = 0; i < spread.size(); ++i) {
        spread[i] = i % 2 ? -1e300 : static_cast<double>(i) * 0.75;  // gaps must never be read
    }
    for (std::size_t i = 0; i < with_nan.size(); ++i) {
        with_nan[i] = i < 55 ? static_cast<double>(i) : nan;
    }
    add("even", even, 1);
    add("uneven", uneven, 1);
    add("strided", spread, 2);
    add("NaN at the end", with_nan, 1);
    return all;
}

/// Widths of about one to four bins, with zero (delta rows), negative, infinite and NaN ones.
std::vector<double> widths(Random& random, Index n) {
    constexpr double specials[] = {0.0, -1.0, inf, nan};
    std::vector<double> sigma(n);
    for (double& s : sigma) {
        s = random.next() % 9 == 0 ? specials[random.next() % 4] : random.uniform(0.3, 2.0);
    }
    return sigma;
}

}  // namespace

TEST(response_rows_equal_plain_loops) {
    Random random{41};
    for (const Axis& axis : axes(random)) {
        const Index n = axis.view.size;
        const std::vector<double> sigma_memory = widths(random, n);
        const View1<const double> sigma = vexora::core::plain(sigma_memory.data(), n);
        for (const double nsigma : {3.0, 5.0}) {
            std::vector<response::Window> windows(n);
            response::sorted_windows(axis.view, sigma, nsigma, windows.data(), 0, axis.view.size);
            std::vector<std::int64_t> ends{0};
            for (Index i = 0; i < n; ++i) {
                const double E = axis.view[i], d = sigma[i] == 0.0 ? 0.0 : sigma[i] * nsigma;
                CHECK(windows[i].low == searchsorted(axis.view, E - d, false), "%s row %td", axis.name, i);
                CHECK(windows[i].high == searchsorted(axis.view, E + d, true), "%s row %td", axis.name, i);
                ends.push_back(ends.back() + std::max<Index>(windows[i].high - windows[i].low, 0));
            }
            for_each_exp([&](auto exp_type, auto exp, const char* name) {
                using Exp = decltype(exp_type);
                std::vector<std::int32_t> columns(ends[n], -1);
                std::vector<double> values(ends[n], -1.0);
                run_over<Exp>([&] {
                    response::fill_response<Exp>(axis.view, sigma, windows.data(), ends.data(), columns.data(),
                                                 values.data(), 0, n);
                });
                for (Index i = 0; i < n; ++i) {
                    // Weights from the first bin of the window to the last, each over their sum.
                    const double E = axis.view[i], s = sigma[i];
                    std::vector<double> w;
                    double norm = 0.0;
                    for (Index j = windows[i].low; j < windows[i].high; ++j) {
                        const double x = (axis.view[j] - E) / s;
                        w.push_back(s == 0.0 ? (axis.view[j] == E ? 1.0 : 0.0) : exp((x * -0.5) * x));
                        norm += w.back();
                    }
                    CHECK(static_cast<Index>(w.size()) == ends[i + 1] - ends[i]);
                    for (std::size_t k = 0; k < w.size(); ++k) {
                        CHECK(columns[ends[i] + k] == windows[i].low + static_cast<Index>(k), "%s row %td", axis.name,
                              i);
                        CHECK_SAME(values[ends[i] + k], w[k] / norm, "%s, %s exp, nsigma %g: row %td bin %zu",
                                   axis.name, name, nsigma, i, k);
                    }
                }
            });
        }
    }
}
