// The CSR response matrix of an ML-EM call, checked and planned for the iterations: every position
// and column read once from the caller's arrays, every fault raised as IndexError with a note.
#pragma once

#include "core/ml_em_pipeline.hpp"
#include "core/ml_em_plan.hpp"
#include "core/ml_em_split.hpp"
#include "frame/frame.hpp"

#include <algorithm>
#include <cstdint>

namespace vexora::deconvolution {

using namespace vexora::frame;
namespace ml_em = vexora::core::ml_em;
namespace parallel = vexora::core::parallel;

/// IndexError with a note formatted as PyUnicode_FromFormat does; false.
inline bool raise_out_of_bounds_note(const char* format, auto... args) {
    raise_out_of_bounds(0);
    add_note(format, args...);
    return false;
}

/// Whether positions first..last (negative ones counting from the end) lie in an array of `size`.
inline bool in_range(Py_ssize_t first, Py_ssize_t last, Py_ssize_t size) { return first >= -size && last < size; }

/*
 * The response matrix read for the kernels: a row plan whose positions and columns are all
 * checked, over the caller's own arrays when they are contiguous and no row wraps from the end
 * of storage to its start, or over a packed copy otherwise (strided arrays, wrapping rows).
 *
 * Every element of offsets and of the columns is read once here, and what is planned is what
 * was checked. The values and, for rows that are not runs, the columns are read again by the
 * iterations, which never trust them to index memory (channel_of).
 */
class Matrix {
public:
    /// The plan for the iterations; valid once plan() succeeded.
    ml_em::RowPlan row_plan() const {
        return {rows_.get(), groups_.get(), values_, columns_, band_.get(), {segment_at_.get(), segments_.get()}};
    }

    /// Entries in all rows; valid once plan() succeeded.
    Py_ssize_t entries() const { return entries_; }

    /*
     * Cuts the rows that are not runs into segments (core/ml_em_segments.hpp), which the
     * iterations on one thread and over many spectra read; for a plan made for n rows, once.
     * MemoryError otherwise.
     */
    bool plan_segments(Py_ssize_t n) {
        if (segment_at_.get() != nullptr) {
            return true;
        }
        if (!segment_at_.allocate(n + 1)) {
            return false;
        }
        const Py_ssize_t count = ml_em::count_segments(rows_.get(), columns_, n, segment_at_.get());
        if (!segments_.allocate(count)) {
            return false;
        }
        ml_em::fill_segments(rows_.get(), columns_, n, segment_at_.get(), segments_.get());
        return true;
    }

    /*
     * The split of the iterations over a team of `threads`, for a plan made for n rows; valid
     * while the matrix is. MemoryError otherwise.
     */
    bool plan_split(Py_ssize_t n, int threads, ml_em::ColumnSplit& split) {
        const ml_em::RowPlan plan = row_plan();
        split.width = ml_em::column_width(n, ml_em::ranges_per_thread * threads);
        split.ranges = ml_em::column_ranges(n, split.width);
        if (!group_from_.allocate(split.ranges) || !group_to_.allocate(split.ranges) ||
            !scattered_at_.allocate(split.ranges + 1) || !cursor_.allocate(split.ranges)) {
            return false;
        }
        split.group_from = group_from_.get();
        split.group_to = group_to_.get();
        split.scattered_at = scattered_at_.get();
        ml_em::count_scattered(plan, n, split);
        if (!scattered_.allocate(std::max<Py_ssize_t>(split.scattered_at[split.ranges], 1))) {
            return false;
        }
        split.scattered = scattered_.get();
        ml_em::fill_column_split(plan, n, split, cursor_.get());
        return true;
    }

    /*
     * The pipeline of the iterations over a team of `threads`, for a plan made for n rows; valid
     * while the matrix is. MemoryError otherwise.
     */
    bool plan_pipeline(Py_ssize_t n, int threads, ml_em::Pipeline& p) {
        const ml_em::RowPlan plan = row_plan();
        RawArray<Py_ssize_t> counts, cursor;
        if (!pipeline_bounds_.allocate(threads + 1) || !counts.allocate(n + 1) ||
            !pipeline_scattered_at_.allocate(threads + 1) || !cursor.allocate(threads)) {
            return false;
        }
        p.bounds = pipeline_bounds_.get();
        ml_em::plan_bounds(plan, n, threads, p, counts.get());
        p.scattered_at = pipeline_scattered_at_.get();
        ml_em::count_pipeline_scattered(plan, n, p);
        if (!pipeline_scattered_.allocate(p.scattered_at[threads]) || !chain_first_.allocate(p.groups) ||
            !chain_last_.allocate(p.groups) || !task_at_.allocate(threads + 1)) {
            return false;
        }
        p.scattered = pipeline_scattered_.get();
        p.first = chain_first_.get();
        p.last = chain_last_.get();
        p.task_at = task_at_.get();
        if (!tasks_.allocate(ml_em::plan_chains(plan, n, p, cursor.get()))) {
            return false;
        }
        p.tasks = tasks_.get();
        ml_em::plan_tasks(p, ml_em::lead_distance(p));
        return true;
    }

    /*
     * Which executor runs the iterations on `threads` threads, and why, for a plan made for n
     * rows. MemoryError otherwise.
     */
    bool plan_iterations(Py_ssize_t n, int threads, ml_em::Plan& plan) const {
        plan = {};
        if (ml_em::too_small_for_threads(n, entries_, threads, plan.reason)) {
            return true;
        }
        RawArray<Py_ssize_t> counts;
        if (!counts.allocate(n + 1)) {
            return false;
        }
        plan = ml_em::plan_iterations(ml_em::measure_shape(row_plan(), n, entries_, threads, counts.get()), threads);
        return true;
    }

    /// Checks every position that n rows address; IndexError with a note naming it otherwise.
    bool plan(Py_ssize_t n, View1<const std::int64_t> offsets, View1<const std::int32_t> indices,
              View1<const double> values, const ml_em::Layout& layout = {}) {
        return plan_rows(n, offsets, indices, values) && plan_columns(n, indices, values, layout);
    }

    /// plan()'s first half: the rows' positions, after which entries() is valid.
    bool plan_rows(Py_ssize_t n, View1<const std::int64_t> offsets, View1<const std::int32_t> indices,
                   View1<const double> values) {
        if (n > 0 && offsets.size < n + 1) {
            return raise_out_of_bounds_note(
                "y has %zd channels, so the square response matrix needs %zd offsets; got %zd", n, n + 1, offsets.size);
        }
        Py_ssize_t entries = 0;
        if (!rows_.allocate(n) || !plan_positions(n, offsets, indices.size, values.size, entries, wrapping_)) {
            return false;
        }
        entries_ = entries;
        return true;
    }

    /*
     * plan()'s second half, for the same n and arrays: the columns, read over the threads of
     * `team` when one is given (the calling thread may hold the interpreter's lock: the helpers
     * touch no Python object).
     */
    bool plan_columns(Py_ssize_t n, View1<const std::int32_t> indices, View1<const double> values,
                      const ml_em::Layout& layout = {}, parallel::Team* team = nullptr) {
        Py_ssize_t values_size;
        if (indices.contiguous() && values.contiguous() && !wrapping_) {
            values_ = values.data;
            columns_ = indices.data;
            values_size = values.size;
            if (!scan_in_place(n, indices, team)) {
                return false;
            }
        } else {
            if (!packed_values_.allocate(entries_) || !packed_columns_.allocate(entries_)) {
                return false;
            }
            values_ = packed_values_.get();
            columns_ = packed_columns_.get();
            values_size = entries_;
            if (!pack(n, indices, values)) {
                return false;
            }
        }
        return plan_groups(n, values_size, layout) && plan_band(n, layout);
    }

private:
    /// Row spans from offsets, each offset read once; `entries` counts them all.
    bool plan_positions(Py_ssize_t n, View1<const std::int64_t> offsets, Py_ssize_t columns_size,
                        Py_ssize_t values_size, Py_ssize_t& entries, bool& wrapping) {
        Py_ssize_t start = n > 0 ? offsets[0] : 0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            const Py_ssize_t end = offsets[j + 1];
            ml_em::RowSpan& row = rows_.get()[j];
            row = {0, 0, 0, -1};
            if (end > start) {
                const bool columns_short = !in_range(start, end - 1, columns_size);
                if (columns_short || !in_range(start, end - 1, values_size)) {
                    const Py_ssize_t size = columns_short ? columns_size : values_size;
                    const Py_ssize_t bad = start < -size ? start : end - 1;
                    return raise_out_of_bounds_note("row %zd addresses position %zd of %s, outside [%zd, %zd)", j, bad,
                                                    columns_short ? "indices" : "values", -size, size);
                }
                row.length = end - start;
                row.values_at = start < 0 ? start + values_size : start;
                row.columns_at = start < 0 ? start + columns_size : start;
                wrapping = wrapping || (start < 0 && end > 0);
                if (__builtin_add_overflow(entries, row.length, &entries)) {
                    PyErr_NoMemory();
                    return false;
                }
            }
            start = end;
        }
        return true;
    }

    /*
     * Checks and classifies the columns of every row where they lie; on a team, in ranges of rows
     * that any thread takes, the first bad row still the first in row order.
     */
    bool scan_in_place(Py_ssize_t n, View1<const std::int32_t> indices, parallel::Team* team) {
        Py_ssize_t bad;
        if (team == nullptr || team->size() < 2) {
            bad = ml_em::classify_rows(rows_.get(), 0, n, n, indices.data);
        } else {
            // A few ranges per thread, so that a helper that starts late takes fewer.
            const Py_ssize_t ranges = 4 * team->size();
            Py_ssize_t bounds[4 * parallel::max_threads + 1], first_bad[4 * parallel::max_threads];
            ml_em::cut_rows(rows_.get(), n, entries_, ranges, bounds);
            auto classify = [&](Py_ssize_t k) {
                first_bad[k] = ml_em::classify_rows(rows_.get(), bounds[k], bounds[k + 1], n, indices.data);
            };
            team->run(ranges, classify);
            const Py_ssize_t* found = std::find_if(first_bad, first_bad + ranges,
                                                   [](Py_ssize_t row) { return row >= 0; });
            bad = found == first_bad + ranges ? -1 : *found;
        }
        return bad < 0 || raise_bad_column(n, indices, rows_.get()[bad], bad);
    }

    /// Copies every row's entries into the packed arrays, columns checked and wrapped into [0, n).
    bool pack(Py_ssize_t n, View1<const std::int32_t> indices, View1<const double> values) {
        Py_ssize_t at = 0;
        for (Py_ssize_t j = 0; j < n; ++j) {
            ml_em::RowSpan& row = rows_.get()[j];
            bool run = true;
            for (Py_ssize_t i = 0; i < row.length; ++i) {
                const Py_ssize_t c = wrapped_position(row.columns_at + i, indices.size);
                const Py_ssize_t column = indices[c];
                if (column < -n || column >= n) {
                    return raise_out_of_bounds_note("indices[%zd] = %zd is outside [%zd, %zd)", c, column, -n, n);
                }
                const Py_ssize_t channel = column < 0 ? column + n : column;
                run = run && (i == 0 || channel == packed_columns_.get()[at + i - 1] + 1);
                packed_columns_.get()[at + i] = static_cast<std::int32_t>(channel);
                packed_values_.get()[at + i] = values[wrapped_position(row.values_at + i, values.size)];
            }
            row.first_column = run && row.length > 0 ? packed_columns_.get()[at] : -1;
            row.values_at = row.columns_at = at;
            at += row.length;
        }
        return true;
    }

    /// One lane group per `group_rows` rows, over the values as the iterations read them.
    bool plan_groups(Py_ssize_t n, Py_ssize_t values_size, const ml_em::Layout& layout) {
        if (!groups_.allocate(n / ml_em::group_rows)) {
            return false;
        }
        ml_em::plan_groups(rows_.get(), n, values_size, layout, groups_.get());
        return true;
    }

    /// Bands for every lane group, when all of them fit in the layout's budget.
    bool plan_band(Py_ssize_t n, const ml_em::Layout& layout) {
        const Py_ssize_t size = ml_em::band_size(groups_.get(), n, layout);
        if (size == 0) {
            return true;
        }
        if (!band_.allocate(size, 32)) {
            return false;
        }
        ml_em::fill_bands(groups_.get(), rows_.get(), n, values_, band_.get());
        return true;
    }

    /// A row that starts at `start` (in [0, size)) continues past the end of storage at its start.
    static Py_ssize_t wrapped_position(Py_ssize_t position, Py_ssize_t size) {
        return position < size ? position : position - size;
    }

    /// IndexError naming the first column of `row` outside [-n, n).
    static bool raise_bad_column(Py_ssize_t n, View1<const std::int32_t> indices, const ml_em::RowSpan& row,
                                 Py_ssize_t j) {
        for (Py_ssize_t i = 0; i < row.length; ++i) {
            const Py_ssize_t column = indices[row.columns_at + i];
            if (column < -n || column >= n) {
                return raise_out_of_bounds_note("indices[%zd] = %zd is outside [%zd, %zd)", row.columns_at + i, column,
                                                -n, n);
            }
        }
        // The column changed since it was scanned: memory written during the call.
        return raise_out_of_bounds_note("the columns of row %zd changed while they were checked", j);
    }

    RawArray<ml_em::RowSpan> rows_;
    RawArray<ml_em::LaneGroup> groups_;
    RawArray<Py_ssize_t> segment_at_;
    RawArray<ml_em::Segment> segments_;
    RawArray<double> band_;
    RawArray<double> packed_values_;
    RawArray<std::int32_t> packed_columns_;
    RawArray<Py_ssize_t> group_from_, group_to_, scattered_at_, cursor_;
    RawArray<ml_em::ScatteredEntry> scattered_;
    RawArray<Py_ssize_t> pipeline_bounds_, pipeline_scattered_at_, chain_first_, chain_last_, task_at_;
    RawArray<ml_em::ScatteredEntry> pipeline_scattered_;
    RawArray<ml_em::PipelineTask> tasks_;
    Py_ssize_t entries_ = 0;
    bool wrapping_ = false;  // a row wraps from the end of storage to its start
    const double* values_ = nullptr;
    const std::int32_t* columns_ = nullptr;
};

/*
 * One spectrum's ML-EM iterations as planned: the working arrays and the executor the plan names.
 * Prepared while the caller holds the interpreter's lock (allocations raise MemoryError), run
 * without it; the estimate and ratio padded for the lane groups, which read and write whole
 * vectors.
 */
class SpectrumIterations {
public:
    /// For n channels of `matrix` on its plan, over `team` when the plan takes threads.
    bool prepare(Matrix& matrix, Py_ssize_t n, const ml_em::Plan& plan, parallel::Team* team) {
        matrix_ = &matrix;
        n_ = n;
        team_ = plan.strategy == ml_em::Strategy::one_thread ? nullptr : team;
        strategy_ = team_ ? plan.strategy : ml_em::Strategy::one_thread;
        const Py_ssize_t capacity = ml_em::work_capacity(n);
        // Every plan reads its rows that are not runs by segments on one thread: a child forked
        // mid-call finishes a pipelined call alone.
        if (!estimate_.allocate(capacity, 32) || !ratio_.allocate(capacity, 32) || !correction_.allocate(n) ||
            !matrix.plan_segments(n)) {
            return false;
        }
        std::fill(estimate_.get(), estimate_.get() + capacity, 0.0);
        std::fill(ratio_.get(), ratio_.get() + capacity, 0.0);
        switch (strategy_) {
            case ml_em::Strategy::pipeline:
                return matrix.plan_pipeline(n, team_->size(), pipeline_) && finite_.allocate(team_->size()) &&
                       partial_.allocate(capacity, 32);
            case ml_em::Strategy::split:
                return matrix.plan_split(n, team_->size(), split_) && finite_.allocate(split_.ranges);
            default: return true;
        }
    }

    /// `iterations` from x on (n channels each of y, sensitivity_floor and x), until `unlocked`
    /// stops them.
    void run(int iterations, const double* y, const double* sensitivity_floor, double* x, NoGil& unlocked) {
        const ml_em::RowPlan plan = matrix_->row_plan();
        const ml_em::Spectrum s{n_, y, sensitivity_floor, x, estimate_.get(), ratio_.get(), correction_.get()};
        int done = 0;
        if (strategy_ == ml_em::Strategy::pipeline) {
            done = ml_em::ml_em_pipeline_iterations(*team_, pipeline_, plan, s, partial_.get(), finite_.get(),
                                                    iterations, unlocked.interrupt());
        } else if (strategy_ == ml_em::Strategy::split) {
            ml_em::ml_em_split_iterations(*team_, split_, ml_em::ranges_per_thread * team_->size(), plan, s,
                                          finite_.get(), iterations, unlocked.interrupt());
            return;
        }
        if (done < iterations && !unlocked.raised()) {
            ml_em::ml_em_iterations(plan, s, iterations - done, unlocked.interrupt());
        }
    }

private:
    Matrix* matrix_ = nullptr;
    Py_ssize_t n_ = 0;
    parallel::Team* team_ = nullptr;
    ml_em::Strategy strategy_ = ml_em::Strategy::one_thread;
    RawArray<double> estimate_, ratio_, correction_, partial_;
    RawArray<bool> finite_;
    ml_em::Pipeline pipeline_;
    ml_em::ColumnSplit split_;
};

}  // namespace vexora::deconvolution
