// ML-EM on a block of spectra, one in each lane of a vector of four or eight: every spectrum's
// bits are those of the plain algorithm on it alone, on every row kind.
#include <vector>

#include "core/ml_em_many.hpp"
#include "exp_target.hpp"
#include "harness.hpp"
#include "ml_em_cases.hpp"

using namespace ml_em_cases;

namespace {

/// Runs the steps of ML-EM for a block of `vectors` vectors of `lanes` spectra, each lane its own
/// problem.
template <int lanes>
std::vector<Result> run_block(const Csr& m, const Plan& plan, const std::vector<Problem>& problems, int vectors,
                              int iterations) {
    const Index width = vectors * lanes;
    const auto size = static_cast<std::size_t>(m.n * width);
    Aligned y(size), x(size), estimate(size), ratio(size);
    for (Index c = 0; c < m.n; ++c) {
        for (Index s = 0; s < width; ++s) {
            y.get()[c * width + s] = s < static_cast<Index>(problems.size()) ? problems[s].y[c] : 0.0;
            x.get()[c * width + s] = 1.0;
        }
    }
    const ml_em::SpectraBlock block{y.get(), x.get(), estimate.get(), ratio.get()};
    for (Index step = 0; step < ml_em::ml_em_many_steps(iterations); ++step) {
#if VEXORA_EIGHT_LANES
        if constexpr (lanes == 8) {
            ml_em::ml_em_many_step8(vectors, plan.row_plan, m.n, problems[0].floor.data(), block, step, iterations);
            continue;
        }
#endif
        ml_em::ml_em_many_step(vectors, plan.row_plan, m.n, problems[0].floor.data(), block, step, iterations);
    }
    std::vector<Result> results(problems.size());
    for (std::size_t s = 0; s < problems.size(); ++s) {
        for (Index c = 0; c < m.n; ++c) {
            results[s].x.push_back(x.get()[c * width + static_cast<Index>(s)]);
        }
    }
    return results;
}

}  // namespace

TEST(ml_em_many_lanes_equal_reference) {
    Random random{11};
    for_each_width([&]<int lanes>() {
        for (const Index n : {1, 8, 13, 29, 64}) {
            for (const Shape shape : shapes) {
                const Csr m = make_matrix(shape, n, 3, random);
                const Plan plan(m, layouts[3].layout);
                const char* name = shape_names[static_cast<int>(shape)];
                for (int vectors = 1; vectors <= ml_em::most_block_vectors; ++vectors) {
                    // Every lane but up to three of the last vector holds a spectrum of its own.
                    const Index spectra = vectors * lanes - random.integer(0, 3);
                    std::vector<Problem> problems;
                    for (Index s = 0; s < spectra; ++s) {
                        problems.push_back(make_problem(m, shape, random));
                        problems[s].floor = problems[0].floor;  // one sensitivity for the block
                    }
                    for (const int iterations : {0, 1, 5}) {
                        const std::vector<Result> got = run_block<lanes>(m, plan, problems, vectors, iterations);
                        for (Index s = 0; s < spectra; ++s) {
                            const Result expected = run_reference(m, problems[s], iterations);
                            for (Index j = 0; j < n; ++j) {
                                CHECK_SAME(got[s].x[j], expected.x[j],
                                           "many: %s n %td, %d vectors of %d, iterations %d spectrum %td row %td", name,
                                           n, vectors, lanes, iterations, s, j);
                            }
                        }
                    }
                }
            }
        }
    });
}

// Wide bands, as detector responses are: each group of rows scatters the channels its rows share
// beside the next group's back projection, and those the next group does not reach after it.
TEST(ml_em_many_wide_bands_equal_reference) {
    Random random{12};
    for_each_width([&]<int lanes>() {
        for (const Index n : {70, 131, 200}) {
            for (const int jitter : {0, 3}) {
                ml_em_cases::Csr m(n, 2);
                const Index half = random.integer(16, 40);
                for (Index j = 0; j < n; ++j) {
                    add_centred(m, j, half + (jitter > 0 && j % 11 == 5 ? random.integer(-jitter, jitter) : 0), random);
                }
                m.add_junk(3);
                const Plan plan(m, layouts[3].layout);
                for (int vectors = 1; vectors <= 2; ++vectors) {
                    const Index spectra = vectors * lanes - random.integer(0, 3);
                    std::vector<Problem> problems;
                    for (Index s = 0; s < spectra; ++s) {
                        problems.push_back(make_problem(m, Shape::widening, random));
                        problems[s].floor = problems[0].floor;
                    }
                    for (const int iterations : {1, 4}) {
                        const std::vector<Result> got = run_block<lanes>(m, plan, problems, vectors, iterations);
                        for (Index s = 0; s < spectra; ++s) {
                            const Result expected = run_reference(m, problems[s], iterations);
                            for (Index j = 0; j < n; ++j) {
                                CHECK_SAME(got[s].x[j], expected.x[j],
                                           "wide band: n %td, half %td, jitter %d, %d vectors of %d, iterations %d, "
                                           "spectrum %td row %td",
                                           n, half, jitter, vectors, lanes, iterations, s, j);
                            }
                        }
                    }
                }
            }
        }
    });
}
