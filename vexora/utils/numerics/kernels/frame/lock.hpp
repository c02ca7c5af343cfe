// A lock for the little state the frame keeps per shared library, with or without the GIL.
#pragma once

#include <Python.h>

namespace vexora::frame {

/*
 * Holds a PyMutex (CPython's one-byte lock, zero when free, so that a namespace-scope one needs no
 * initialisation at run time) for its lifetime. Taking it while another thread holds it detaches
 * the calling thread from the interpreter while it waits (releasing the GIL where there is one),
 * so that the holder may run Python code and the collector may stop the world meanwhile. Not
 * re-entrant: nothing done under one may take it again.
 */
class Locked {
public:
    explicit Locked(PyMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { PyMutex_Unlock(&mutex_); }

private:
    PyMutex& mutex_;
};

}  // namespace vexora::frame
