// One call's work spread over threads so that no result depends on how many threads ran it.
//
// A kernel cuts its work into chunks that are independent within a phase (every sum inside one
// chunk, in its own order) and whose results do not depend on which thread computes them; any
// thread then takes any chunk. Threads live only inside a call: nothing outlives it, so a fork()
// between calls finds no thread to lose and nothing keeps the interpreter from exiting.
//
// Pure: no Python. The threads library's own calls are used (not std::thread), so that a thread
// that cannot be started means fewer helpers rather than an exception this build cannot catch.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>

#include "interrupt.hpp"
#include "strided.hpp"
#include "sync.hpp"

namespace vexora::core::parallel {

/// Most threads one call runs, its caller's included.
inline constexpr int max_threads = 256;

/// Stack of a helper thread.
inline constexpr std::size_t helper_stack_bytes = std::size_t{1} << 20;

/*
 * The threads that the calls of a process run at once: every call that splits counts its own
 * thread and takes helpers only while the total stays within its limit, so that calls made from
 * several threads together never start more than the limit. Shared by every module of the
 * process (the binding hands each call the one instance).
 */
class Budget {
public:
    /// Counts the calling thread and grants it up to `threads - 1` helpers within the limit of
    /// `threads` running at once; returns how many.
    int take(int threads) noexcept {
        int running = running_.load();
        int granted;
        do {
            granted = std::clamp(threads - running - 1, 0, threads - 1);
        } while (!running_.compare_exchange_weak(running, running + 1 + granted));
        return granted;
    }

    /// Ends the count of `threads` that take() counted.
    void release(int threads) noexcept { running_.fetch_sub(threads); }

    /// Whether more threads run than `limit`: calls that started when the helpers were taken.
    bool crowded(int limit) const noexcept { return running_.load() > limit; }

    /// In a child process after fork(): the threads counted were the parent's.
    void reset() noexcept { running_.store(0); }

private:
    std::atomic<int> running_{0};
};

/*
 * The calling thread and the helpers its call got, working through phases. In each phase every
 * chunk of [0, chunks) runs exactly once, on whichever thread takes it, and the phase ends when
 * all have run. Between its own chunks the calling thread asks whether to stop; when asking may
 * run Python code (a signal handler, which may change what the chunks read), every helper is
 * first held between chunks.
 *
 * A call that starts while another's team runs gets no helper, but its own thread runs: more
 * threads than the limit. A team whose chunks may all run on one thread (Sharing::yield) then
 * gives way: a helper that finds the budget crowded at the start of a phase leaves the team for
 * the rest of the call, and the caller and the other helpers take its chunks. A team whose
 * chunks wait for each other (Sharing::stay) needs every thread it was given, and keeps them.
 */
enum class Sharing { stay, yield };

/// Forks of this process so far, counted in each child. fork() copies only the thread that calls
/// it, so a team that a child inherits in the middle of a call (a signal handler that the caller's
/// thread runs between chunks may fork) has lost its helpers; it sees this count change.
inline std::atomic<unsigned> forks_seen{0};

inline int count_forks() {
    return pthread_atfork(nullptr, nullptr, [] { forks_seen.fetch_add(1); });
}

class Team {
public:
    /// Up to `threads - 1` helpers from `budget`; fewer when the budget or the system has fewer.
    Team(Budget& budget, int threads, Sharing sharing = Sharing::stay)
        : budget_(budget), limit_(std::clamp(threads, 1, max_threads)), sharing_(sharing) {
        sync::computed_once<count_forks>();
        forks_at_start_ = forks_seen.load();
        const int granted = budget_.take(limit_);
        // The kernels keep little on the stack: a small one keeps helpers cheap in address space,
        // which a process under `ulimit -v` counts.
        pthread_attr_t attributes;
        const bool sized = pthread_attr_init(&attributes) == 0;
        if (sized) {
            pthread_attr_setstacksize(&attributes, helper_stack_bytes);
        }
        while (helpers_started_ < granted && pthread_create(&helpers_[helpers_started_], sized ? &attributes : nullptr,
                                                            &Team::helper_main, this) == 0) {
            ++helpers_started_;
        }
        if (sized) {
            pthread_attr_destroy(&attributes);
        }
        budget_.release(granted - helpers_started_);
        active_helpers_.store(helpers_started_);
    }
    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;
    ~Team() {
        if (in_forked_child()) {
            // The helpers and their count in the budget stayed with the parent, which may have
            // been holding the mutex or waiting on the conditions.
            mutex_.forget_other_threads();
            wake_.forget_other_threads();
            done_.forget_other_threads();
            return;
        }
        {
            sync::Lock lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        for (int i = 0; i < helpers_started_; ++i) {
            pthread_join(helpers_[i], nullptr);
        }
        budget_.release(1 + active_helpers_.load());
    }

    /// Threads the team started with, the caller's included (a team that stays keeps them all).
    int size() const { return helpers_started_ + 1; }

    /*
     * Runs work(chunk) for every chunk in [0, chunks). Returns false once `interrupted` has
     * answered true: the phase then stopped early, its outputs incomplete, and every later
     * phase returns false at once.
     */
    template <class Work>
    bool run(Index chunks, Work& work, const Interrupt& interrupted = {}) {
        if (stopped_) {
            return false;
        }
        if (active_helpers_.load() == 0 || chunks <= 1 || in_forked_child()) {
            for (Index c = 0; c < chunks; ++c) {
                if (interrupted()) {
                    stopped_ = true;
                    return false;
                }
                work(c);
            }
            return true;
        }
        {
            sync::Lock lock(mutex_);
            call_ = [](void* context, Index c) { (*static_cast<Work*>(context))(c); };
            context_ = &work;
            chunks_ = chunks;
            next_.store(0);
            busy_helpers_ = active_helpers_.load();
            ++generation_;
        }
        wake_.notify_all();
        for (;;) {
            if (interrupted.due() && stop_between_chunks(interrupted)) {
                stopped_ = true;
                break;
            }
            const Index c = next_.fetch_add(1);
            if (c >= chunks) {
                break;
            }
            work(c);
        }
        if (in_forked_child()) {
            // Forked while the helpers were held between chunks: every chunk they took had
            // finished, and this thread took the rest.
            return !stopped_;
        }
        sync::Lock lock(mutex_);
        done_.wait(lock, [this] { return busy_helpers_ == 0; });
        return !stopped_;
    }

    /// Whether this is a child forked after the team started: the caller's thread alone remains.
    bool in_forked_child() const { return forks_seen.load() != forks_at_start_; }

private:
    static void* helper_main(void* self) {
        static_cast<Team*>(self)->help();
        return nullptr;
    }

    void help() {
        unsigned seen = 0;
        for (;;) {
            {
                sync::Lock lock(mutex_);
                wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
                if (quit_) {
                    return;
                }
                seen = generation_;
                if (sharing_ == Sharing::yield && budget_.crowded(limit_)) {
                    --active_helpers_;
                    --busy_helpers_;
                    budget_.release(1);
                    done_.notify_one();
                    wake_.wait(lock, [this] { return quit_; });
                    return;
                }
            }
            for (;;) {
                // Announced before the hold is looked at, so that the caller, which raises the
                // hold before it counts, never misses a chunk in progress.
                in_chunk_.fetch_add(1);
                if (holding_.load()) {
                    in_chunk_.fetch_sub(1);
                    sync::Lock lock(mutex_);
                    wake_.wait(lock, [this] { return !holding_.load(); });
                    continue;
                }
                const Index c = next_.fetch_add(1);
                if (c < chunks_) {
                    call_(context_, c);
                }
                in_chunk_.fetch_sub(1);
                if (c >= chunks_) {
                    break;
                }
            }
            {
                sync::Lock lock(mutex_);
                --busy_helpers_;
            }
            done_.notify_one();
        }
    }

    /// Asks `interrupted` with every helper held between chunks; true when the phase must stop,
    /// which then also takes every chunk not yet started.
    bool stop_between_chunks(const Interrupt& interrupted) {
        holding_.store(true);
        while (in_chunk_.load() != 0) {
            sched_yield();
        }
        const bool stop = interrupted();
        if (stop) {
            next_.store(chunks_);
        }
        if (in_forked_child()) {
            holding_.store(false);
            return stop;
        }
        {
            sync::Lock lock(mutex_);
            holding_.store(false);
        }
        wake_.notify_all();
        return stop;
    }

    Budget& budget_;
    const int limit_;
    const Sharing sharing_;
    unsigned forks_at_start_ = 0;
    int helpers_started_ = 0;
    std::atomic<int> active_helpers_{0};  // helpers_started_ less those that gave way; changed under mutex_
    pthread_t helpers_[max_threads - 1];
    bool stopped_ = false;

    sync::Mutex mutex_;
    sync::Condition wake_, done_;
    bool quit_ = false;
    unsigned generation_ = 0;
    int busy_helpers_ = 0;
    void (*call_)(void*, Index) = nullptr;
    void* context_ = nullptr;
    Index chunks_ = 0;
    std::atomic<Index> next_{0};
    std::atomic<int> in_chunk_{0};
    std::atomic<bool> holding_{false};
};

/*
 * Runs work(first, count, interrupted) over [0, size) cut into ranges of `grain` elements (the
 * last one shorter), on a team of up to `threads` when there are at least two ranges; otherwise
 * once over the whole on the calling thread, which then costs nothing beyond the kernel. The work
 * must give every element the same result whatever range it falls in, and ask only the Interrupt
 * it is handed: the real one when it runs alone, none in a team, whose caller asks between
 * ranges. False once `interrupted` answered true.
 */
template <class Work>
bool for_ranges(Budget& budget, int threads, Index size, Index grain, Work&& work, const Interrupt& interrupted = {}) {
    const Index ranges = grain > 0 ? (size + grain - 1) / grain : 1;
    if (threads <= 1 || ranges <= 1) {
        return work(Index{0}, size, interrupted);
    }
    auto range = [&](Index r) { work(r * grain, std::min(grain, size - r * grain), Interrupt{}); };
    Team team(budget, static_cast<int>(std::min<Index>(threads, ranges)), Sharing::yield);
    return team.run(ranges, range, interrupted);
}

}  // namespace vexora::core::parallel
