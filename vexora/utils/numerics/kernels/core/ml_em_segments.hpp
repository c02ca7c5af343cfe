// Rows that are not runs, cut into stretches of consecutive channels, so that ML-EM over many
// spectra reads most of their entries as it reads runs: no column per entry, the channels found
// by arithmetic. Responses moved to other energies are like that: each row a few long runs
// (continuum, peaks) with gaps between them.
//
// Pure: plain arrays in, nothing allocated, no Python.
#pragma once

#include <algorithm>
#include <cstdint>

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
 * Calls emit(entry, channel) for the segments of a row's `length` columns, in entry order, and
 * returns their number: 0 when no stretch is long enough. Each column is checked as it is read;
 * a stretch's channels are those read, so a segment never reaches outside [0, n).
 */
template <class Emit>
Index segment_row(const std::int32_t* columns, Index length, Index n, const Emit& emit) {
    Index count = 0, loose_from = -1;
    bool stretches = false;
    for (Index i = 0, end; i < length; i = end) {
        const Index channel = channel_of(columns[i], n);
        end = i + 1;
        while (channel >= 0 && end < length && channel_of(columns[end], n) == channel + (end - i)) {
            ++end;
        }
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

}  // namespace vexora::core::ml_em
