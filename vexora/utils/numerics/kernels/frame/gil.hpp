// Releasing the interpreter lock around numeric loops, and stopping them when a signal arrives.
#pragma once

#include <Python.h>
#include <pythread.h>
#include <time.h>

#include <chrono>

#include "../core/interrupt.hpp"
#include "in_place.hpp"
#include "ref.hpp"

namespace vexora::frame {

/// The monotonic clock as a std::chrono clock, read through the C library: std::chrono's own
/// clocks are read in the C++ runtime, which the modules do not link.
struct MonotonicClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<MonotonicClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
    }
};

/*
 * Whether the calling thread is the one the interpreter runs signal handlers on: the main thread
 * of the main interpreter, which an embedding application may have started on any thread of the
 * process. When that cannot be told, true: PyErr_CheckSignals decides for itself. Needs the lock;
 * runs no Python code.
 */
inline bool runs_signal_handlers() {
    Ref name = Ref::steal(PyUnicode_FromString("_thread"));
    Ref thread = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref{};
    Ref is_main_interpreter = thread ? Ref::steal(PyObject_GetAttrString(thread.get(), "_is_main_interpreter")) : Ref{};
    Ref main_ident = thread ? Ref::steal(PyObject_GetAttrString(thread.get(), "_get_main_thread_ident")) : Ref{};
    Ref on_main = is_main_interpreter ? Ref::steal(PyObject_CallNoArgs(is_main_interpreter.get())) : Ref{};
    Ref ident = main_ident ? Ref::steal(PyObject_CallNoArgs(main_ident.get())) : Ref{};
    if (!on_main || !ident) {
        PyErr_Clear();
        return true;
    }
    const unsigned long main_thread = PyLong_AsUnsignedLong(ident.get());
    if (main_thread == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return on_main.get() == Py_True && main_thread == PyThread_get_thread_ident();
}

/*
 * Releases the interpreter lock for its lifetime. Code inside must touch no Python object.
 *
 * A loop inside that can run long asks interrupted() (or the kernels' Interrupt from interrupt())
 * between units of work. On the thread that runs signal handlers, about every 50 ms it takes the
 * lock back briefly and runs them, as the interpreter itself does between bytecodes; once one
 * raises (Ctrl-C's KeyboardInterrupt), the answer is true and the exception waits in the thread
 * state for the caller, which must then return it. A handler may also have resized an array the
 * loop reads: the arguments given as `in_place` are checked after every look, and a moved one
 * stops the loop with BufferError. Other threads are not interrupted (Python runs signal handlers
 * on its main thread only) and never take the lock back.
 *
 * Taking the lock back waits for the thread that holds it: at most the interpreter's switch
 * interval when that thread runs Python code, as long as it keeps the lock in native code.
 */
class NoGil {
public:
    explicit NoGil(const InPlace* in_place = nullptr) noexcept
        : in_place_(in_place), state_(PyEval_SaveThread()), next_poll_(Clock::now() + poll_interval) {}
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;
    ~NoGil() { PyEval_RestoreThread(state_); }

    /// Whether the loop must stop: a signal handler raised, or an argument in place moved.
    bool interrupted() {
        if (!raised_ && due()) {
            poll_due_ = false;
            poll();
        }
        return raised_;
    }

    /// Whether interrupted() would now take the lock back and run Python code.
    bool due() {
        if (!poll_due_ && !raised_ && polls_ != Polls::never && --until_clock_ <= 0) {
            const Clock::time_point now = Clock::now();
            pace(now);
            poll_due_ = now >= next_poll_;
        }
        return poll_due_;
    }

    /// Whether interrupted() has answered true.
    bool raised() const { return raised_; }

    /// interrupted() as the kernels ask it.
    core::Interrupt interrupt() {
        return {[](void* self) { return static_cast<NoGil*>(self)->interrupted(); },
                [](void* self) { return static_cast<NoGil*>(self)->due(); }, this};
    }

private:
    /// Takes the lock back, runs the signal handlers and checks the arguments in place.
    void poll() {
        PyEval_RestoreThread(state_);
        if (polls_ == Polls::undecided) {
            polls_ = runs_signal_handlers() ? Polls::always : Polls::never;
        }
        raised_ = (polls_ == Polls::always && PyErr_CheckSignals() < 0) || (in_place_ && !in_place_->intact());
        state_ = PyEval_SaveThread();
        next_poll_ = Clock::now() + poll_interval;
    }

    using Clock = MonotonicClock;
    static constexpr auto poll_interval = std::chrono::milliseconds(50);
    // Units of work far shorter than reading the clock (an ML-EM iteration on a handful of
    // channels) are counted: the clock is read every `clock_stride_` units, a stride that doubles
    // while reads come less than a millisecond apart.
    static constexpr auto clock_resolution = std::chrono::milliseconds(1);
    static constexpr long max_clock_stride = 1L << 20;

    void pace(Clock::time_point now) {
        if (now - last_clock_ < clock_resolution && clock_stride_ < max_clock_stride) {
            clock_stride_ *= 2;
        }
        last_clock_ = now;
        until_clock_ = clock_stride_;
    }

    // The lock is first taken back 50 ms into the loop; only then is it known whether this
    // thread polls, so that a short call or another thread pays nothing for the question.
    enum class Polls { undecided, always, never };

    const InPlace* in_place_;
    PyThreadState* state_;
    Polls polls_ = Polls::undecided;
    bool poll_due_ = false;
    bool raised_ = false;
    long clock_stride_ = 1;
    long until_clock_ = 1;
    Clock::time_point last_clock_{};
    Clock::time_point next_poll_;
};

}  // namespace vexora::frame
