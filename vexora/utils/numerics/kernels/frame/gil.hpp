// Releasing the interpreter lock around numeric loops.
#pragma once

#include <Python.h>

namespace vexora::frame {

/// Releases the interpreter lock for its lifetime. Code inside must touch no Python object.
class NoGil {
public:
    NoGil() noexcept : state_(PyEval_SaveThread()) {}
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;
    ~NoGil() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace vexora::frame
