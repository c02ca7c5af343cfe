// Traceback entries for errors leaving the module's functions.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdio>

#include "lock.hpp"

namespace vexora::frame {

/// What a module is called and where its code is said to live.
struct ModuleIdentity {
    const char* short_name;   ///< "resampler"
    const char* dotted_name;  ///< "vexora.utils.numerics.kernels.resampler"
    const char* source_path;  ///< "vexora/utils/numerics/kernels/resampler"
};

/*
 * Code objects for traceback entries, created once per line and kept sorted by line.
 * The line alone is the key: two functions reporting from one line share an entry.
 * Calls from several threads at once (without the GIL) take the entries under a PyMutex; a code
 * object is made outside it, and the first one kept for a line is the one every call gets.
 */
class CodeCache {
public:
    /// The code object kept for `line`, made by make() (a new reference or nullptr with an
    /// exception set) when there is none; borrowed, kept until the process ends. Null with an
    /// exception set when none can be made or kept.
    template <class Make>
    PyObject* get(int line, const Make& make) noexcept {
        {
            Locked lock(mutex_);
            if (PyObject* kept = find(line)) {
                return kept;
            }
        }
        PyObject* code = make();
        if (!code) {
            if (!PyErr_Occurred()) {
                PyErr_NoMemory();
            }
            return nullptr;
        }
        PyObject* kept;
        bool stored;
        {
            Locked lock(mutex_);
            kept = find(line);
            stored = !kept && insert(line, code);
        }
        if (stored) {
            return code;
        }
        // Another thread kept one for this line first, or there was no memory to keep this one.
        Py_DECREF(code);
        if (!kept) {
            PyErr_NoMemory();
        }
        return kept;
    }

private:
    PyObject* find(int line) const noexcept {
        Py_ssize_t low = 0, high = size_;
        while (low < high) {
            Py_ssize_t mid = low + (high - low) / 2;
            if (entries_[mid].line < line) {
                low = mid + 1;
            } else {
                high = mid;
            }
        }
        return low < size_ && entries_[low].line == line ? entries_[low].code : nullptr;
    }

    /// Keeps `code` (a new reference) for `line`; returns false when out of memory.
    bool insert(int line, PyObject* code) noexcept {
        if (size_ == capacity_) {
            Py_ssize_t capacity = capacity_ + 64;
            auto* grown = PyMem_Realloc(entries_, sizeof(Entry) * capacity);
            if (!grown) {
                return false;
            }
            entries_ = static_cast<Entry*>(grown);
            capacity_ = capacity;
        }
        Py_ssize_t at = size_;
        while (at > 0 && entries_[at - 1].line > line) {
            entries_[at] = entries_[at - 1];
            --at;
        }
        entries_[at] = Entry{line, code};
        ++size_;
        return true;
    }

    struct Entry {
        int line;
        PyObject* code;
    };
    PyMutex mutex_{};
    Entry* entries_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

/// Process-wide: set once by the module's initialisation, before any of its functions exists
/// (module.hpp), and only read afterwards.
inline const ModuleIdentity* module_identity = nullptr;
inline PyObject* module_globals = nullptr;
inline CodeCache traceback_codes;

/// Adds a traceback entry named `qualname` at `line` to the pending exception.
/// If the entry cannot be made, the error of making it replaces the pending one.
inline void add_traceback_entry(const char* qualname, int line) {
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* code = traceback_codes.get(line, [&] {
        return reinterpret_cast<PyObject*>(PyCode_NewEmpty(module_identity->source_path, qualname, line));
    });
    if (!code) {
        Py_XDECREF(pending);
        return;
    }
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), module_globals,
                                       nullptr);
    if (!frame) {
        Py_XDECREF(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

/// Adds the entry of a module function, named by its dotted module path.
inline void add_traceback(const char* function, int line) {
    char qualname[256];
    std::snprintf(qualname, sizeof qualname, "%s.%s", module_identity->dotted_name, function);
    add_traceback_entry(qualname, line);
}

/// Passes on a null result after adding the function's traceback entry.
template <class T = PyObject*>
inline T fail_at(const char* function, int line, T failure = nullptr) {
    add_traceback(function, line);
    return failure;
}

}  // namespace vexora::frame
