// The segments of rows that are not runs: every stretch of at least shortest_stretch columns that
// count up by one, all in [0, n) or all in [-n, 0), found a vector of columns at a time, is the
// one the plain definition finds entry by entry, on rows that break their count at every place
// of a vector, cross from column -1 to 0 or from one sign to the other at the next channel, run
// to the ends of [-n, n) and hold columns outside it.
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/ml_em_segments.hpp"
#include "harness.hpp"

namespace ml_em = vexora::core::ml_em;
using harness::Random;
using vexora::core::Index;

namespace {

using Parts = std::vector<std::pair<Index, Index>>;  // (entry, channel or -1), in entry order

/// The segmentation by its definition: columns compared one entry after another.
Parts plain_segments(const std::vector<std::int32_t>& columns, Index n) {
    Parts parts;
    const auto length = static_cast<Index>(columns.size());
    Index loose_from = -1;
    bool stretches = false;
    for (Index i = 0, end; i < length; i = end) {
        const Index channel = ml_em::channel_of(columns[i], n);
        end = i + 1;
        while (channel >= 0 && end < length && ml_em::channel_of(columns[end], n) == channel + (end - i) &&
               (columns[end] < 0) == (columns[i] < 0)) {
            ++end;
        }
        if (channel < 0 || end - i < ml_em::shortest_stretch) {
            loose_from = loose_from < 0 ? i : loose_from;
            continue;
        }
        if (loose_from >= 0) {
            parts.emplace_back(loose_from, -1);
            loose_from = -1;
        }
        parts.emplace_back(i, channel);
        stretches = true;
    }
    if (loose_from >= 0) {
        parts.emplace_back(loose_from, -1);
    }
    return stretches ? parts : Parts{};
}

/// A row of stretches of random lengths from random places, each ended by a jump, a repeat or
/// a column outside [-n, n), some counted from the end and some running into an end of the range.
std::vector<std::int32_t> random_row(Index n, Random& random) {
    std::vector<std::int32_t> columns;
    for (Index stretch = random.integer(1, 5); stretch > 0; --stretch) {
        const Index length = random.integer(1, 40);
        Index first = random.integer(-n, n - 1);
        switch (random.integer(0, 3)) {
            case 0: first = n - random.integer(1, 12); break;  // runs into n, or up to it
            case 1: first = -random.integer(1, 12); break;     // runs from -1 on to 0, 1, ...
            default: break;
        }
        for (Index k = 0; k < length; ++k) {
            columns.push_back(static_cast<std::int32_t>(first + k));
        }
        if (random.integer(0, 4) == 0) {
            columns.push_back(random.integer(0, 1) ? std::numeric_limits<std::int32_t>::min()
                                                   : static_cast<std::int32_t>(n + random.integer(0, 5)));
        }
    }
    return columns;
}

}  // namespace

TEST(ml_em_segments_are_the_plain_stretches) {
    Random random{23};
    Index stretches = 0;
    for (const Index n : {9, 40, 300}) {
        for (int trial = 0; trial < 3000; ++trial) {
            const std::vector<std::int32_t> columns = random_row(n, random);
            Parts got;
            const Index count = ml_em::segment_row(
                columns.data(), static_cast<Index>(columns.size()), n,
                [&](Index entry, Index channel) { got.emplace_back(entry, channel); });
            const Parts expected = plain_segments(columns, n);
            if (count == 0) {
                got.clear();  // parts without a stretch are reported but not kept
            }
            CHECK(count == static_cast<Index>(expected.size()), "n %td trial %d: %td segments, expected %zu", n, trial,
                  count, expected.size());
            CHECK(got == expected, "n %td trial %d: segments differ", n, trial);
            for (const auto& part : expected) {
                stretches += part.second >= 0;
            }
        }
    }
    CHECK(stretches > 5000, "%td stretches", stretches);
}

// The columns of the largest channels a 32-bit column can name: the count stops at its top.
TEST(ml_em_segments_stop_at_the_largest_column) {
    constexpr std::int32_t top = std::numeric_limits<std::int32_t>::max();
    std::vector<std::int32_t> columns;
    for (std::int32_t c = top - 19; c != top; ++c) {
        columns.push_back(c);
    }
    columns.push_back(top);
    columns.push_back(std::numeric_limits<std::int32_t>::min());  // top + 1 wrapped: not the next channel
    const Index n = Index{top} + 100;
    Parts got;
    ml_em::segment_row(columns.data(), static_cast<Index>(columns.size()), n,
                       [&](Index entry, Index channel) { got.emplace_back(entry, channel); });
    CHECK((got == Parts{{0, Index{top} - 19}, {20, -1}}), "%zu parts", got.size());
}
