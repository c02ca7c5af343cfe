// Work split over threads: every chunk runs exactly once whatever the team's size, the budget
// caps teams that run at once, a stop ends the work, and a split builder gives the bits of the
// whole.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/parallel.hpp"
#include "core/response.hpp"
#include "exp_target.hpp"
#include "harness.hpp"

namespace {

namespace parallel = vexora::core::parallel;
namespace response = vexora::core::response;
using harness::Random;
using vexora::core::Index;
using vexora::core::Interrupt;
using vexora::core::View1;

/// Answers true from its `stop_at`-th question on, and says every question may run Python code.
struct StopAfter {
    int stop_at;
    int asked = 0;
    std::atomic<bool> stopped{false};

    Interrupt interrupt() {
        return {[](void* self) {
                    auto& s = *static_cast<StopAfter*>(self);
                    if (++s.asked >= s.stop_at) {
                        s.stopped.store(true);
                    }
                    return s.stopped.load();
                },
                [](void*) { return true; }, this};
    }
};

/// Forks at its `fork_at`-th question, as a signal handler run between chunks may, and never
/// asks to stop; remembers in which process it is.
struct ForkWhenAsked {
    int fork_at;
    int asked = 0;
    pid_t child = -1;  // 0 in the child

    Interrupt interrupt() {
        return {[](void* self) {
                    auto& f = *static_cast<ForkWhenAsked*>(self);
                    if (++f.asked == f.fork_at) {
                        f.child = fork();
                    }
                    return false;
                },
                [](void*) { return true; }, this};
    }
};

/// The exit status of `child`, or -1 when it is still running after `seconds` (it is then killed).
int status_within(pid_t child, int seconds) {
    for (int waited = 0; waited < seconds * 100; ++waited) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(10000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

}  // namespace

TEST(a_child_forked_between_chunks_finishes_the_call_alone) {
    for (const parallel::Sharing sharing : {parallel::Sharing::yield, parallel::Sharing::stay}) {
        parallel::Budget budget;
        ForkWhenAsked forker{1};
        bool every_chunk_twice = true;
        {
            parallel::Team team(budget, 3, sharing);
            const Index chunks = 4000;
            std::vector<std::atomic<int>> runs(static_cast<std::size_t>(chunks));
            auto work = [&](Index c) { runs[static_cast<std::size_t>(c)].fetch_add(1); };
            // Two phases: the fork comes in the first; the child runs the second alone.
            bool finished = true;
            for (int phase = 1; phase <= 2; ++phase) {
                finished = team.run(chunks, work, forker.interrupt()) && finished;
            }
            every_chunk_twice = finished;
            for (const auto& count : runs) {
                every_chunk_twice = every_chunk_twice && count.load() == 2;
            }
        }
        if (forker.child == 0) {
            _exit(every_chunk_twice ? 0 : 1);  // after the team's end, which must not wait either
        }
        CHECK(every_chunk_twice, "in the parent");
        CHECK(forker.child > 0, "forked");
        if (forker.child > 0) {
            const int status = status_within(forker.child, 60);
            CHECK(status == 0, "the child lost or repeated chunks (1), hung (-1) or died: %d", status);
        }
    }
}

TEST(team_runs_every_chunk_once) {
    for (int threads = 1; threads <= 8; ++threads) {
        parallel::Budget budget;
        parallel::Team team(budget, threads);
        CHECK(team.size() >= 1 && team.size() <= threads);
        for (const Index chunks : {Index{0}, Index{1}, Index{2}, Index{3}, Index{7}, Index{64}, Index{1001}}) {
            std::vector<std::atomic<int>> runs(static_cast<std::size_t>(chunks));
            auto work = [&](Index c) { runs[static_cast<std::size_t>(c)].fetch_add(1); };
            CHECK(team.run(chunks, work));
            for (Index c = 0; c < chunks; ++c) {
                CHECK(runs[static_cast<std::size_t>(c)].load() == 1, "%d threads, %td chunks: chunk %td", threads,
                      chunks, c);
            }
        }
    }
}

TEST(budget_caps_the_teams_that_run_at_once) {
    parallel::Budget budget;
    {
        parallel::Team first(budget, 3);
        CHECK(first.size() == 3);
        // Three threads run: a second call within the same limit gets no helper.
        parallel::Team second(budget, 3);
        CHECK(second.size() == 1);
        // A call that allows more gets what is left of its own limit.
        parallel::Team third(budget, 6);
        CHECK(third.size() == 2);
    }
    {
        parallel::Team after(budget, 4);
        CHECK(after.size() == 4);
    }
    // A forked child inherits the count of threads that only its parent has.
    budget.take(2);
    budget.reset();
    parallel::Team in_child(budget, 2);
    CHECK(in_child.size() == 2);
}

TEST(a_yielding_team_gives_way_to_a_call_that_starts_beside_it) {
    for (const parallel::Sharing sharing : {parallel::Sharing::yield, parallel::Sharing::stay}) {
        parallel::Budget budget;
        parallel::Team team(budget, 2, sharing);
        CHECK(team.size() == 2);
        // Another call's thread, which gets no helper: three threads run where two may.
        CHECK(budget.take(2) == 0);
        std::vector<std::atomic<int>> runs(64);
        auto work = [&](Index c) { runs[static_cast<std::size_t>(c)].fetch_add(1); };
        for (int phase = 1; phase <= 2; ++phase) {
            CHECK(team.run(64, work));
            for (const auto& count : runs) {
                CHECK(count.load() == phase, "phase %d: a chunk ran %d times", phase, count.load());
            }
            // The helper leaves at the first phase it finds crowded; a team that stays keeps it.
            CHECK(budget.crowded(2) == (sharing == parallel::Sharing::stay));
        }
        budget.release(1);
    }
}

TEST(stop_ends_the_phase_and_every_later_one) {
    for (int threads = 1; threads <= 4; ++threads) {
        for (const int stop_at : {1, 3}) {
            parallel::Budget budget;
            parallel::Team team(budget, threads);
            StopAfter stop{stop_at};
            std::atomic<Index> ran{0}, started_after_stop{0};
            auto work = [&](Index) {
                ran.fetch_add(1);
                if (stop.stopped.load()) {
                    started_after_stop.fetch_add(1);
                }
            };
            // The caller asks before each of its chunks; helpers are held while it asks, and
            // none starts a chunk once it was told to stop.
            const bool finished = team.run(100000, work, stop.interrupt());
            CHECK(finished == (stop.asked < stop_at), "%d threads: asked %d times", threads, stop.asked);
            CHECK(started_after_stop.load() == 0, "%d threads", threads);
            if (!finished) {
                const Index before = ran.load();
                CHECK(!team.run(10, work));
                CHECK(ran.load() == before);
            }
        }
    }
}

TEST(ranges_cover_every_element_once) {
    Random random{7};
    for (int threads = 1; threads <= 8; ++threads) {
        parallel::Budget budget;
        for (int round = 0; round < 20; ++round) {
            const Index size = random.integer(0, 5000), grain = random.integer(1, 700);
            std::vector<std::atomic<int>> covered(static_cast<std::size_t>(size));
            parallel::for_ranges(budget, threads, size, grain, [&](Index first, Index count, const Interrupt&) {
                for (Index i = first; i < first + count; ++i) {
                    covered[static_cast<std::size_t>(i)].fetch_add(1);
                }
                return true;
            });
            for (Index i = 0; i < size; ++i) {
                CHECK(covered[static_cast<std::size_t>(i)].load() == 1, "%d threads, size %td, grain %td: %td", threads,
                      size, grain, i);
            }
        }
    }
}

TEST(builder_split_over_threads_gives_the_whole_bits) {
    Random random{43};
    const Index n = 1003;
    std::vector<double> axis_memory(n), sigma_memory(n);
    for (Index i = 0; i < n; ++i) {
        axis_memory[static_cast<std::size_t>(i)] = 5.0 + 0.37 * static_cast<double>(i);
        sigma_memory[static_cast<std::size_t>(i)] = random.next() % 11 == 0 ? (random.next() % 2 ? 0.0 : std::nan(""))
                                                                            : random.uniform(0.2, 6.0);
    }
    const View1<const double> axis = vexora::core::plain<const double>(axis_memory.data(), n);
    const View1<const double> sigma = vexora::core::plain<const double>(sigma_memory.data(), n);
    std::vector<response::Window> whole_windows(n);
    response::sorted_windows(axis, sigma, 5.0, whole_windows.data(), 0, n);
    std::vector<std::int64_t> ends{0};
    for (const response::Window& w : whole_windows) {
        ends.push_back(ends.back() + std::max<Index>(w.high - w.low, 0));
    }
    for_each_exp([&](auto exp_type, auto, const char* name) {
        using Exp = decltype(exp_type);
        std::vector<std::int32_t> whole_columns(ends[n]);
        std::vector<double> whole_values(ends[n]);
        run_over<Exp>([&] {
            response::fill_response<Exp>(axis, sigma, whole_windows.data(), ends.data(), whole_columns.data(),
                                         whole_values.data(), 0, n);
        });
        for (int threads = 1; threads <= 8; ++threads) {
            parallel::Budget budget;
            const Index grain = response::row_group * random.integer(1, 40);
            std::vector<response::Window> windows(n);
            parallel::for_ranges(budget, threads, n, grain, [&](Index first, Index count, const Interrupt&) {
                response::sorted_windows(axis, sigma, 5.0, windows.data(), first, first + count);
                return true;
            });
            std::vector<std::int32_t> columns(ends[n], -1);
            std::vector<double> values(ends[n], -1.0);
            parallel::for_ranges(budget, threads, n, grain, [&](Index first, Index count, const Interrupt&) {
                run_over<Exp>([&] {
                    response::fill_response<Exp>(axis, sigma, windows.data(), ends.data(), columns.data(),
                                                 values.data(), first, first + count);
                });
                return true;
            });
            for (Index i = 0; i < n; ++i) {
                CHECK(windows[i].low == whole_windows[i].low && windows[i].high == whole_windows[i].high,
                      "%d threads: row %td", threads, i);
            }
            for (std::int64_t e = 0; e < ends[n]; ++e) {
                CHECK(columns[e] == whole_columns[e]);
                CHECK_SAME(values[e], whole_values[e], "%s exp, %d threads, grain %td: entry %lld", name, threads,
                           grain, static_cast<long long>(e));
            }
        }
    });
}
