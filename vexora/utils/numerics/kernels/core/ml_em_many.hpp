// ML-EM of many spectra over one checked row plan: the spectra side by side in the lanes of
// vectors, so that each pass reads every matrix entry once for a whole block of spectra.
//
// Pure and lock-free: plain arrays in, nothing allocated, no Python.
#pragma once

#include <algorithm>
#include <cstdint>

#include "../simd/vector.hpp"
#include "ml_em.hpp"

namespace vexora::core::ml_em {

/// Most vectors of spectra that one block holds: 16 spectra.
inline constexpr int most_block_vectors = 4;

/*
 * One block of `width` spectra (a whole number of vectors) over n channels, channel-major:
 * element [c * width + s] belongs to channel c of the block's spectrum s. Lanes past the block's
 * last spectrum hold y = 0 and x = 1, so their ratios stay 0 and nothing they compute is used.
 *
 *   y[n * width]         - measured spectra
 *   x[n * width]         - estimates, updated in place (ones on entry)
 *   estimate, ratio      - work arrays of n * width
 */
struct SpectraBlock {
    const double* y;
    double* x;
    double* estimate;
    double* ratio;
};

/*
 * One sweep over the rows for a block of V vectors of spectra: when `update`, each row's back
 * projection of the ratio and its update of x; when `project`, the row scattered into the
 * estimate with the (updated) x. Every lane adds in the order of the single-spectrum iterations:
 * back projection in entry order from 0.0, forward projection in row then entry order.
 */
template <int V>
VEXORA_VECTOR_HELPER void sweep_many(const RowPlan& plan, Index n, const double* __restrict sensitivity_floor,
                                     const SpectraBlock& block, bool update_x, bool project) {
    constexpr Index width = V * lanes;
    const double* __restrict ratio = block.ratio;
    double* __restrict estimate = block.estimate;
    for (Index j = 0; j < n; ++j) {
        const RowSpan& row = plan.rows[j];
        const double* v = plan.values + row.values_at;
        const std::int32_t* c = plan.columns + row.columns_at;
        double* xj = block.x + j * width;
        Double4 x4[V];
        for (int h = 0; h < V; ++h) {
            x4[h] = load4(xj + lanes * h);
        }
        if (update_x) {
            Double4 totals[V];
            for (int h = 0; h < V; ++h) {
                totals[h] = broadcast(0.0);
            }
            for (Index i = 0; i < row.length; ++i) {
                const Index channel = row.first_column >= 0 ? row.first_column + i : channel_of(c[i], n);
                if (channel < 0) {
                    continue;
                }
                const Double4 value = broadcast(v[i]);
                const double* r = ratio + channel * width;
                for (int h = 0; h < V; ++h) {
                    totals[h] = totals[h] + value * load4(r + lanes * h);
                }
            }
            const Double4 floor = broadcast(sensitivity_floor[j]);
            for (int h = 0; h < V; ++h) {
                Double4 correction;
                update(totals[h], floor, x4[h], correction);
                store4(xj + lanes * h, x4[h]);
            }
        }
        if (project) {
            for (Index i = 0; i < row.length; ++i) {
                const Index channel = row.first_column >= 0 ? row.first_column + i : channel_of(c[i], n);
                if (channel < 0) {
                    continue;
                }
                const Double4 value = broadcast(v[i]);
                double* e = estimate + channel * width;
                for (int h = 0; h < V; ++h) {
                    store4(e + lanes * h, load4(e + lanes * h) + x4[h] * value);
                }
            }
        }
    }
}

/// ratio = y / (estimate + 1e-12) over a block's n * width elements.
VEXORA_VECTOR_HELPER void ratio_many(Index size, const SpectraBlock& block) {
    const Double4 e4 = broadcast(epsilon);
    for (Index i = 0; i < size; i += lanes) {
        store4(block.ratio + i, load4(block.y + i) / (load4(block.estimate + i) + e4));
    }
}

template <int V>
VEXORA_VECTOR_HELPER void step_many_vectors(const RowPlan& plan, Index n, const double* sensitivity_floor,
                                            const SpectraBlock& block, int step, int iterations) {
    const Index size = n * V * lanes;
    if (step > 0) {
        ratio_many(size, block);
    }
    const bool project = step < iterations;
    if (project) {
        std::fill(block.estimate, block.estimate + size, 0.0);
    }
    sweep_many<V>(plan, n, sensitivity_floor, block, step > 0, project);
}

/*
 * Step `step` of ML-EM on a block of `vectors` (1 to most_block_vectors) vectors of spectra:
 * step 0 projects the ones that x starts with; step t in [1, iterations] is iteration t, which
 * also projects its result unless it is the last. Steps run in order, each block on its own, so
 * blocks may run on any threads; every spectrum's result has the bits of its single-spectrum
 * call (ml_em_iterations) for the same plan. `sensitivity_floor` as ml_em_iterations takes it.
 */
VEXORA_CLONES inline void ml_em_many_step(int vectors, const RowPlan& plan, Index n,
                                          const double* sensitivity_floor, const SpectraBlock& block, int step,
                                          int iterations) {
    switch (vectors) {
        case 1:
            step_many_vectors<1>(plan, n, sensitivity_floor, block, step, iterations);
            break;
        case 2:
            step_many_vectors<2>(plan, n, sensitivity_floor, block, step, iterations);
            break;
        case 3:
            step_many_vectors<3>(plan, n, sensitivity_floor, block, step, iterations);
            break;
        default:
            step_many_vectors<4>(plan, n, sensitivity_floor, block, step, iterations);
            break;
    }
}

/// Steps of ML-EM for `iterations`: the first projection and one per iteration; none for none.
inline int ml_em_many_steps(int iterations) { return iterations > 0 ? iterations + 1 : 0; }

}  // namespace vexora::core::ml_em
