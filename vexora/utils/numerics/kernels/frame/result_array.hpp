// A one-dimensional NumPy result array that a call fills as it goes.
#pragma once

#include <Python.h>

#include <algorithm>
#include <utility>

#include "../core/strided.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace vexora::frame {

/*
 * A one-dimensional NumPy array of the result, written in place: room for `capacity` elements,
 * of which the first `size` are set. Room is reserved for the most the call can store, so that
 * each element is written once, into its final memory, and pages that are never written are
 * never touched; when that much cannot be had, the array grows as it goes. Every size is
 * checked, so that a capacity that cannot be had is a MemoryError, never a short array. Growing
 * and finishing need the lock; writing up to the room made does not.
 */
template <class T>
class ResultArray {
public:
    explicit ResultArray(int type_num) : type_num_(type_num) {}

    /// Room for `most` elements, or for none when that cannot be had (then room() grows the
    /// array); false with MemoryError only when not even an empty array can be had.
    bool reserve_at_most(Py_ssize_t most) {
        if (allocate(most)) {
            return true;
        }
        PyErr_Clear();
        return allocate(0);
    }
    /// Exactly `count` elements; false with MemoryError when they cannot be had.
    bool reserve_exactly(Py_ssize_t count) { return allocate(count); }
    /// Makes room for `count` more elements, at least doubling when it grows; false with an
    /// exception set when that cannot be had.
    bool room(Py_ssize_t count) {
        Py_ssize_t needed, doubled;
        if (__builtin_add_overflow(size_, count, &needed)) {
            PyErr_NoMemory();
            return false;
        }
        if (needed <= capacity_) {
            return true;
        }
        return resize(__builtin_mul_overflow(capacity_, 2, &doubled) ? needed : std::max(needed, doubled));
    }
    /// Where the next element goes.
    T* end() { return data_ + size_; }
    /// Counts `count` elements written at end() as set.
    void advance(Py_ssize_t count) { size_ += count; }
    Py_ssize_t size() const { return size_; }
    /// The array cut to its set elements; empty with an exception set on failure.
    Ref finish() {
        if (array_ && size_ != capacity_ && !resize(size_)) {
            return {};
        }
        return std::move(array_);
    }

private:
    static bool fits(Py_ssize_t count) {
        std::size_t bytes;
        return core::bytes_of<T>(count, bytes);
    }
    bool allocate(Py_ssize_t count) {
        if (!fits(count)) {
            PyErr_NoMemory();
            return false;
        }
        array_ = new_array(count, type_num_);
        if (!array_) {
            return false;
        }
        data_ = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.get())));
        capacity_ = count;
        return true;
    }
    /// NumPy's resize moves the set elements along (and fills any new room with zeros).
    bool resize(Py_ssize_t count) {
        if (!fits(count)) {
            PyErr_NoMemory();
            return false;
        }
        npy_intp length = count;
        PyArray_Dims shape{&length, 1};
        Ref none = Ref::steal(PyArray_Resize(reinterpret_cast<PyArrayObject*>(array_.get()), &shape, 0, NPY_ANYORDER));
        if (!none) {
            return false;
        }
        data_ = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.get())));
        capacity_ = count;
        return true;
    }

    int type_num_;
    Ref array_;
    T* data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

}  // namespace vexora::frame
