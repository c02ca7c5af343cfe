// Rows that are not runs, cut into stretches of consecutive channels, so that ML-EM over many
// spectra reads most of their entries as it reads runs: no column per entry, the channels found
// by arithmetic. Responses moved to other energies are like that: each row a few long runs
// (continuum, peaks) with gaps between them.
//
// Pure: plain arrays in, nothing allocated, no Python.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>

#include "ml_em_groups.hpp"

namespace vexora::core::ml_em {

/*
 * Entries of a row from `entry` to the next segment's (or the row's end): at channels channel,
 * channel + 1, ... when channel >= 0, each checked in [0, n) when the segment was made; when
 * channel < 0, each entry at the channel its column gives as it is read (channel_of).
 */
struct Segment {
    Index entry;
    Index channel;
};

/// Shortest stretch of consecutive channels made a segment; shorter ones are read entry by entry,
/// where a segment would cost more than it saves.
inline constexpr Index shortest_stretch = 8;

/// Every row's segments: row j's are list[at[j], at[j + 1]); none for runs, empty rows and rows
/// read entry by entry throughout.
struct Segments {
    const Index* at = nullptr;
    const Segment* list = nullptr;

    Index count(Index j) const { return at == nullptr ? 0 : at[j + 1] - at[j]; }
    const Segment* of(Index j) const { return at == nullptr ? nullptr : list + at[j]; }
};

/*
 * End of the stretch of consecutive channels that starts at entry i of a row's `length` columns,
 * whose column `first` lies in [-n, n): the entries after it while their columns count up from
 * `first` by one without leaving [-n, 0) or [0, n), where channels are in the columns' order.
 * Eight columns at a time while all eight continue the count, then one at a time.
 */
inline Index stretch_end(const std::int32_t* columns, Index i, Index length, Index n, std::int32_t first) {
    const Index top = first < 0 ? 0 : std::min<Index>(n, Index{std::numeric_limits<std::int32_t>::max()} + 1);
    const Index end = std::min(length, i + (top - first));
    Index e = i + 1;
    for (; e + 8 <= end; e += 8) {
        // Expected columns stay below top, so int32 arithmetic holds them.
        const auto expected = static_cast<std::uint32_t>(first + (e - i));
        std::uint32_t off = 0;
        for (std::uint32_t k = 0; k < 8; ++k) {
            off |= static_cast<std::uint32_t>(columns[e + k]) ^ (expected + k);
        }
        if (off != 0) {
            break;
        }
    }
    while (e < end && columns[e] == first + (e - i)) {
        ++e;
    }
    return e;
}

/*
 * Calls emit(entry, channel) for the segments of a row's `length` columns, in entry order, and
 * returns their number: 0 when no stretch is long enough. A stretch's columns count up by one,
 * all in [0, n) or all in [-n, 0) (a row that writes the next channel the other way starts a new
 * stretch there). Each column is checked as it is read;
 * a stretch's channels are those read, so a segment never reaches outside [0, n).
 */
template <class Emit>
Index segment_row(const std::int32_t* columns, Index length, Index n, const Emit& emit) {
    Index count = 0, loose_from = -1;
    bool stretches = false;
    for (Index i = 0, end; i < length; i = end) {
        const std::int32_t first = columns[i];
        const Index channel = channel_of(first, n);
        end = channel >= 0 ? stretch_end(columns, i, length, n, first) : i + 1;
        if (channel < 0 || end - i < shortest_stretch) {
            loose_from = loose_from < 0 ? i : loose_from;
            continue;
        }
        if (loose_from >= 0) {
            emit(loose_from, Index{-1});
            ++count;
            loose_from = -1;
        }
        emit(i, channel);
        ++count;
        stretches = true;
    }
    if (loose_from >= 0) {
        emit(loose_from, Index{-1});
        ++count;
    }
    return stretches ? count : 0;
}

/// Segments of the rows of a plan that are not runs, counted into at[j + 1] (at[0] = 0); the
/// prefix sum then gives each row's place. Returns the total.
inline Index count_segments(const RowSpan* rows, const std::int32_t* columns, Index n, Index* at) {
    at[0] = 0;
    for (Index j = 0; j < n; ++j) {
        const RowSpan& row = rows[j];
        const Index count = row.first_column >= 0 || row.length == 0
                                ? 0
                                : segment_row(columns + row.columns_at, row.length, n, [](Index, Index) {});
        at[j + 1] = at[j] + count;  // at most the entries, which an Index holds
    }
    return at[n];
}

/*
 * Fills the segments that count_segments counted. The columns are read again: should they have
 * changed since (memory written during the call), a row keeps the places it was counted, its last
 * one read entry by entry to the row's end, and unused places are empty.
 */
inline void fill_segments(const RowSpan* rows, const std::int32_t* columns, Index n, const Index* at, Segment* list) {
    for (Index j = 0; j < n; ++j) {
        const Index places = at[j + 1] - at[j];
        if (places == 0) {
            continue;
        }
        const RowSpan& row = rows[j];
        Segment* segments = list + at[j];
        Index filled = 0;
        segment_row(columns + row.columns_at, row.length, n, [&](Index entry, Index channel) {
            if (filled < places) {
                segments[filled++] = {entry, channel};
            } else {
                segments[places - 1].channel = -1;
            }
        });
        if (filled == 0) {
            segments[filled++] = {0, -1};
        }
        for (; filled < places; ++filled) {
            segments[filled] = {row.length, -1};
        }
    }
}

/// Calls entry(i, channel) for the entries [begin, end) of a row read entry by entry, each at the
/// channel its column gives, skipping columns outside [-n, n) (channel_of).
template <class Entry>
VEXORA_VECTOR_HELPER void for_each_column(const std::int32_t* columns, Index begin, Index end, Index n,
                                          const Entry& entry) {
    for (Index i = begin; i < end; ++i) {
        const Index channel = channel_of(columns[i], n);
        if (channel >= 0) {
            entry(i, channel);
        }
    }
}

/*
 * Calls stretch(begin, end, offset) for the entries [begin, end) of a row within [from, to) whose
 * channels are entry + offset, and loose(begin, end) for those read entry by entry: a run is one
 * stretch, a row without segments one loose part.
 */
template <class Stretch, class Loose>
VEXORA_VECTOR_HELPER void for_each_part(const RowSpan& row, const Segment* segments, Index count, Index from, Index to,
                                        const Stretch& stretch, const Loose& loose) {
    if (row.first_column >= 0) {
        if (from < to) {
            stretch(from, to, row.first_column);
        }
        return;
    }
    if (count == 0) {
        if (from < to) {
            loose(from, to);
        }
        return;
    }
    for (Index t = 0; t < count; ++t) {
        const Index begin = std::max(segments[t].entry, from);
        const Index end = std::min(t + 1 < count ? segments[t + 1].entry : row.length, to);
        if (begin >= end) {
            continue;
        }
        if (segments[t].channel >= 0) {
            stretch(begin, end, segments[t].channel - segments[t].entry);
        } else {
            loose(begin, end);
        }
    }
}

/*
 * The entries [0, common) that R consecutive rows all have, cut into parts within which each row's
 * channels are entry + offset[r] (a run, a segment's stretch: stretched[r]) or read entry by entry.
 * Parts come in entry order: next(from) describes the part from `from` on and returns its end.
 */
template <int R>
class CommonParts {
public:
    Index common;
    Index offset[R];
    bool stretched[R];
    bool all_stretched = false;

    CommonParts(const RowSpan* rows, const Segments& segments, Index j) : rows_(rows) {
        common = rows[0].length;
        for (int r = 0; r < R; ++r) {
            common = std::min(common, rows[r].length);
            segments_[r] = segments.of(j + r);
            count_[r] = rows[r].first_column >= 0 ? 0 : segments.count(j + r);
        }
    }

    Index next(Index from) {
        Index to = common;
        all_stretched = true;
        for (int r = 0; r < R; ++r) {
            if (rows_[r].first_column >= 0) {
                offset[r] = rows_[r].first_column;
                stretched[r] = true;
                continue;
            }
            const Segment* s = segments_[r];
            while (at_[r] + 1 < count_[r] && s[at_[r] + 1].entry <= from) {
                ++at_[r];
            }
            stretched[r] = count_[r] > 0 && s[at_[r]].channel >= 0;
            offset[r] = stretched[r] ? s[at_[r]].channel - s[at_[r]].entry : 0;
            if (at_[r] + 1 < count_[r]) {
                to = std::min(to, s[at_[r] + 1].entry);
            }
            all_stretched = all_stretched && stretched[r];
        }
        return to;
    }

private:
    const RowSpan* rows_;
    const Segment* segments_[R];
    Index count_[R], at_[R] = {};
};

}  // namespace vexora::core::ml_em
