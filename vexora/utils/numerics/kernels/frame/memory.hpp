// Native memory for the kernels: checked allocations, and arguments as plain arrays.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "../core/strided.hpp"

namespace vexora::frame {

/*
 * `count` elements of T from the raw allocator, which may be used (not allocated) while the
 * interpreter lock is released; freed with the holder. Every size is checked, so that one that
 * cannot exist is a MemoryError, never a short array.
 */
template <class T>
class RawArray {
public:
    RawArray() = default;
    RawArray(const RawArray&) = delete;
    RawArray& operator=(const RawArray&) = delete;
    ~RawArray() { PyMem_RawFree(memory_); }

    /// Room for `count` elements (at least one), aligned to `alignment` bytes (a power of two);
    /// false with MemoryError set when it cannot be had. Needs the lock.
    bool allocate(core::Index count, std::size_t alignment = alignof(T)) {
        const std::size_t slack = alignment > alignof(T) ? alignment - 1 : 0;
        std::size_t bytes;
        if (!core::bytes_of<T>(std::max<core::Index>(count, 1), bytes) ||
            __builtin_add_overflow(bytes, slack, &bytes) || bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX) ||
            !(memory_ = PyMem_RawMalloc(bytes))) {
            PyErr_NoMemory();
            return false;
        }
        const auto address = reinterpret_cast<std::uintptr_t>(memory_);
        data_ = reinterpret_cast<T*>((address + slack) & ~static_cast<std::uintptr_t>(slack));
        return true;
    }
    T* get() const { return data_; }

private:
    void* memory_ = nullptr;
    T* data_ = nullptr;
};

/// Extra elements around a copy, for searches that read one place before or past the ends.
struct Padding {
    core::Index before = 0, after = 0;
    double before_value = 0.0, after_value = 0.0;
};

/*
 * A one-dimensional argument as a plain array. open(): the caller's memory when it already is
 * one, otherwise a native copy, which store() writes back. copy(): always a native copy, padded,
 * so that every value is read from the caller once and what is checked is what is used.
 */
template <class T>
class Contiguous {
public:
    using Element = std::remove_const_t<T>;

    /// False with MemoryError set when a needed copy cannot be had.
    bool open(core::View1<T> view) {
        view_ = view;
        if (view.contiguous() && view.size > 0) {
            data_ = view.data;
            return true;
        }
        return copy(view);
    }
    /// A native copy, with `padding` around it; false with MemoryError set when it cannot be had.
    bool copy(core::View1<T> view, const Padding& padding = {}) {
        view_ = view;
        core::Index padded;
        if (__builtin_add_overflow(view.size, padding.before + padding.after, &padded)) {
            PyErr_NoMemory();
            return false;
        }
        if (!copy_.allocate(padded)) {
            return false;
        }
        Element* values = copy_.get() + padding.before;
        std::fill(copy_.get(), values, static_cast<Element>(padding.before_value));
        std::fill(values + view.size, values + view.size + padding.after, static_cast<Element>(padding.after_value));
        if (view.contiguous()) {
            std::copy(view.data, view.data + view.size, values);
        } else {
            for (core::Index i = 0; i < view.size; ++i) {
                values[i] = view[i];
            }
        }
        data_ = values;
        return true;
    }
    T* get() const { return data_; }
    core::Index size() const { return view_.size; }
    core::View1<T> view() const { return core::plain(data_, view_.size); }
    void store() const requires(!std::is_const_v<T>) {
        if (view_.data != data_) {
            for (core::Index i = 0; i < view_.size; ++i) {
                view_.set(i, data_[i]);
            }
        }
    }

private:
    core::View1<T> view_;
    RawArray<Element> copy_;
    T* data_ = nullptr;
};

}  // namespace vexora::frame
