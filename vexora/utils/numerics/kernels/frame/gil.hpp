// Releasing the interpreter lock around numeric loops, and stopping them when a signal arrives.
#pragma once

#include <Python.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

#include "../core/interrupt.hpp"

namespace vexora::frame {

/*
 * Releases the interpreter lock for its lifetime. Code inside must touch no Python object.
 *
 * A loop inside that can run long asks interrupted() (or the kernels' Interrupt from interrupt())
 * between units of work. On the main thread, about every 50 ms it takes the lock back briefly and
 * runs the interpreter's signal handlers, as the interpreter itself does between bytecodes; once
 * one raises (Ctrl-C's KeyboardInterrupt), the answer is true and the exception waits in the
 * thread state for the caller, which must then return it. Other threads are not interrupted:
 * Python runs signal handlers on the main thread only.
 */
class NoGil {
public:
    NoGil() noexcept : state_(PyEval_SaveThread()), polls_(syscall(SYS_gettid) == getpid()), next_poll_(later()) {}
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;
    ~NoGil() { PyEval_RestoreThread(state_); }

    /// Whether a signal handler has raised since the lock was released.
    bool interrupted() {
        if (raised_ || !polls_ || Clock::now() < next_poll_) {
            return raised_;
        }
        PyEval_RestoreThread(state_);
        raised_ = PyErr_CheckSignals() < 0;
        state_ = PyEval_SaveThread();
        next_poll_ = later();
        return raised_;
    }

    /// Whether interrupted() has answered true.
    bool raised() const { return raised_; }

    /// interrupted() as the kernels ask it.
    core::Interrupt interrupt() {
        return {[](void* self) { return static_cast<NoGil*>(self)->interrupted(); }, this};
    }

private:
    using Clock = std::chrono::steady_clock;
    static Clock::time_point later() { return Clock::now() + std::chrono::milliseconds(50); }

    PyThreadState* state_;
    bool polls_;
    bool raised_ = false;
    Clock::time_point next_poll_;
};

}  // namespace vexora::frame
