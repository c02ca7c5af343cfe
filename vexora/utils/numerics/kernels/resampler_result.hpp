// The result of a resampler call as it grows, a CSR matrix one row per requested energy, and the
// work rows in which a call split over threads makes its rows before they are stored in order.
#pragma once

#include "core/interpolation.hpp"
#include "core/sync.hpp"
#include "frame/frame.hpp"
#include "frame/result_array.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vexora::resampler {

using namespace vexora::frame;
using vexora::core::interpolation::store_row;

/*
 * The result as it grows, one row per requested energy: the column numbers and values of the
 * entries stored, and where each row ends.
 */
class ResultRows {
public:
    /*
     * Room for `m` rows of at most `n` entries each, had before any work so that an impossible
     * size fails at once: the offsets exactly; the entries when that much can be had, reserved
     * and not touched, otherwise they grow as rows are stored. False when even that fails.
     */
    bool reserve(Py_ssize_t m, Py_ssize_t n) {
        Py_ssize_t offsets_count, most;
        if (__builtin_mul_overflow(m, n, &most)) {
            most = -1;
        }
        if (__builtin_add_overflow(m, 1, &offsets_count) || !offsets_.reserve_exactly(offsets_count) ||
            !reserve_at_most(indices_, most) || !reserve_at_most(values_, most)) {
            return false;
        }
        *offsets_.end() = 0;
        offsets_.advance(1);
        return true;
    }

    /// Room for one more row of `n` channels; false with an exception set.
    bool room(Py_ssize_t n) { return indices_.room(n) && values_.room(n); }

    /// Stores the channels of `row` whose value over `total` lies above the store threshold, and
    /// ends the row. Needs no lock once room() has made room for it.
    void store(const double* row, Py_ssize_t n, double total) {
        end_row(store_row(row, n, total, indices_.end(), values_.end()));
    }

    /// Room for `entries` more entries of rows written elsewhere first; false with an exception set.
    bool room_for_entries(Py_ssize_t entries) {
        if (!indices_.room(entries) || !values_.room(entries)) {
            return false;
        }
        room_end_ = std::max(room_end_, values_.size() + entries);
        return true;
    }
    /// Entries that can be stored without growing the result (at least).
    Py_ssize_t free_entries() const { return room_end_ - values_.size(); }
    /// Where entry `at` after the last one stored goes, within the room made.
    std::int32_t* indices_at(Py_ssize_t at) { return indices_.end() + at; }
    double* values_at(Py_ssize_t at) { return values_.end() + at; }

    /// Ends a row whose `stored` entries were written from indices_at(0) and values_at(0) on.
    void end_row(Py_ssize_t stored) {
        indices_.advance(stored);
        values_.advance(stored);
        *offsets_.end() = values_.size();
        offsets_.advance(1);
    }

    /// The CSR matrix (offsets, indices, values), each array cut to what was stored; nullptr with
    /// an exception set.
    PyObject* finish() {
        Ref offsets = offsets_.finish();
        Ref indices = offsets ? indices_.finish() : Ref{};
        Ref values = indices ? values_.finish() : Ref{};
        return values ? PyTuple_Pack(3, offsets.get(), indices.get(), values.get()) : nullptr;
    }

private:
    /// ResultArray::reserve_at_most, which also tells the room had.
    template <class T>
    bool reserve_at_most(ResultArray<T>& array, Py_ssize_t most) {
        if (array.reserve_exactly(most)) {
            room_end_ = std::min(room_end_, most);
            return true;
        }
        PyErr_Clear();
        room_end_ = 0;
        return array.reserve_exactly(0);
    }

    /// Where the room made for entries ends in both arrays, at least.
    Py_ssize_t room_end_ = PY_SSIZE_T_MAX;
    ResultArray<std::int64_t> offsets_{NPY_INT64};
    ResultArray<std::int32_t> indices_{NPY_INT32};
    ResultArray<double> values_{NPY_FLOAT64};
};

/*
 * Work rows in which a block's rows are made and cut to their stored entries, each kept until the
 * rows before it are stored and then copied into the result after them, so that a thread held up
 * (a busy machine) stops the others only once every work row waits for its row. The first row not
 * stored, which no other waits for, takes the spare work row when no other is free: rows are
 * handed out in order, so that row is always being made, and it always has a work row.
 */
class WorkRows {
public:
    /// `count` work rows and the spare, of `n` channels, for blocks of up to `block_rows` rows;
    /// false with MemoryError set when they cannot be had.
    bool allocate(int count, Py_ssize_t n, Py_ssize_t block_rows) {
        Py_ssize_t cells;
        count_ = count;
        channels_ = n;
        if (__builtin_mul_overflow(static_cast<Py_ssize_t>(count) + 1, n, &cells)) {
            PyErr_NoMemory();
            return false;
        }
        return values_.allocate(cells) && columns_.allocate(cells) && free_.allocate(count) &&
               rows_.allocate(block_rows) && stored_.allocate(block_rows);
    }

    /// Before a block of `count` rows: no row made, every work row free.
    void start_block(Py_ssize_t count) {
        std::fill(rows_.get(), rows_.get() + count, not_made);
        for (int w = 0; w < count_; ++w) {
            free_.get()[w] = w;
        }
        free_count_ = count_;
        next_ = 0;
        end_ = 0;
        count_rows_ = count;
    }

    /// A work row for row `k`; touches no Python object.
    int take(Py_ssize_t k) {
        core::sync::Lock lock(mutex_);
        given_back_.wait(lock, [&] { return free_count_ > 0 || k == next_; });
        return free_count_ > 0 ? free_.get()[--free_count_] : spare();
    }

    double* values(int w) const { return values_.get() + w * channels_; }
    std::int32_t* columns(int w) const { return columns_.get() + w * channels_; }

    /*
     * Row `k`, made in work row `w` and cut to `stored` entries. With it, every row made that
     * follows the rows stored is copied into the result in order, and ends[] records where each
     * ends, counted from the block's first entry.
     */
    void made(Py_ssize_t k, int w, Py_ssize_t stored, ResultRows& result, Py_ssize_t* ends) {
        {
            core::sync::Lock lock(mutex_);
            rows_.get()[k] = w;
            stored_.get()[k] = stored;
            for (; next_ < count_rows_ && rows_.get()[next_] != not_made; ++next_) {
                const int row = rows_.get()[next_];
                const auto entries = static_cast<size_t>(stored_.get()[next_]);
                std::memcpy(result.indices_at(end_), columns(row), sizeof(std::int32_t) * entries);
                std::memcpy(result.values_at(end_), values(row), sizeof(double) * entries);
                ends[next_] = end_ += stored_.get()[next_];
                if (row != spare()) {
                    free_.get()[free_count_++] = row;
                }
            }
        }
        given_back_.notify_all();
    }

private:
    static constexpr int not_made = -1;
    int spare() const { return count_; }

    int count_ = 0;
    Py_ssize_t channels_ = 0;
    RawArray<double> values_;
    RawArray<std::int32_t> columns_;
    RawArray<int> free_;  ///< numbers of the free work rows, free_count_ of them
    RawArray<int> rows_;  ///< per row of the block: its work row, or not_made
    RawArray<Py_ssize_t> stored_;
    int free_count_ = 0;
    Py_ssize_t count_rows_ = 0, next_ = 0, end_ = 0;  ///< the block's rows, the first not stored, its start
    core::sync::Mutex mutex_;
    core::sync::Condition given_back_;
};

}  // namespace vexora::resampler
