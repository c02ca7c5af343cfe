// Searches of ascending energy axes.
#pragma once

#include <algorithm>
#include <cmath>

#include "strided.hpp"

namespace vexora::core {

/// NumPy's order for float64: NaN sorts after every number.
inline bool sort_less(double a, double b) { return a < b || (b != b && a == a); }

/*
 * The number of leading indices of [0, n) on which `goes_right` holds, for a predicate that holds
 * on a prefix. The search starts at `hint` (neighbouring queries answer close together) and steps
 * away from it in doubling strides until it brackets the answer, then bisects: O(log d) for an
 * answer d away from the hint.
 */
template <class GoesRight>
Index gallop_search(Index n, Index hint, const GoesRight& goes_right) {
    hint = std::clamp<Index>(hint, 0, n);
    Index low = 0, high = n;  // the answer lies in [low, high]
    if (hint < n && goes_right(hint)) {
        low = hint + 1;
        for (Index step = 1; low < n; step *= 2) {
            const Index probe = std::min(low + step - 1, n - 1);
            if (!goes_right(probe)) {
                high = probe;
                break;
            }
            low = probe + 1;
        }
    } else {
        high = hint;
        for (Index step = 1; high > 0; step *= 2) {
            const Index probe = std::max<Index>(high - step, 0);
            if (goes_right(probe)) {
                low = probe + 1;
                break;
            }
            high = probe;
        }
    }
    while (low < high) {
        const Index mid = low + ((high - low) >> 1);
        if (goes_right(mid)) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

/*
 * First index whose element is not below `key` (left) or is above it (right): on an axis sorted
 * in NumPy's order exactly where np.searchsorted places the key. Starts from `hint`.
 */
template <bool right>
Index search_sorted(View1<const double> axis, double key, Index hint) {
    return gallop_search(axis.size, hint,
                         [&](Index i) { return right ? !sort_less(key, axis[i]) : sort_less(axis[i], key); });
}

/// Ascending in NumPy's order for float64 (NaN last).
inline bool sorted_for_search(View1<const double> axis) {
    for (Index i = 1; i < axis.size; ++i) {
        if (sort_less(axis[i], axis[i - 1])) {
            return false;
        }
    }
    return true;
}

/*
 * The first index of axis[n] whose element is not below `E`, or n; 0 for NaN. Starts from `hint`.
 *
 *   axis[n] - ascending, no NaN (not checked)
 */
inline Index first_not_below(const double* axis, Index n, double E, Index hint) {
    if (std::isnan(E)) {
        return 0;
    }
    return gallop_search(n, hint, [&](Index i) { return E > axis[i]; });
}

/// first_not_below out of line, for the rare query that search_from's one step does not answer.
[[gnu::noinline]] inline Index gallop_from(const double* axis, Index n, double E, Index hint) {
    return first_not_below(axis, n, E, hint);
}

/*
 * first_not_below on a padded axis: `axis[-1]` is -inf and `axis[n]` to `axis[n + 2]` are +inf,
 * so that elements hint - 1 to hint + 2 exist for every hint in [0, n]. Neighbouring channels
 * mostly move the answer by 0, 1 or 2 from `hint`: the four elements around it, read at once (no
 * read waits for another), give the answer i = hint + [E > axis[hint]] + [E > axis[hint + 1]]
 * with the test that it is the one index with axis[i - 1] < E <= axis[i] on an ascending axis;
 * the galloping search only when it is not. NaN fails the test and goes to the search.
 */
inline Index search_from(const double* axis, Index n, double E, Index hint) {
    const bool above_previous = E > axis[hint - 1];
    const bool above_0 = E > axis[hint], above_1 = E > axis[hint + 1], above_2 = E > axis[hint + 2];
    // On an ascending axis above_1 implies above_0: i is hint, hint + 1 or hint + 2, and only
    // the first and the last of these need a further element to be confirmed.
    const bool found = (above_0 | above_previous) & !(above_1 & above_2);
    if (__builtin_expect(!found, 0)) {
        return gallop_from(axis, n, E, hint);
    }
    return hint + above_0 + above_1;
}

}  // namespace vexora::core
