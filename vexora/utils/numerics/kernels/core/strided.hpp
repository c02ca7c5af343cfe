// Strided views of memory: a pointer with extents and byte strides, as the kernels take arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vexora::core {

/// Sizes and positions: signed, as NumPy's (Py_ssize_t is the same type on every target).
using Index = std::ptrdiff_t;

/// One-dimensional strided view; `stride` is in bytes and may be zero or negative. Elements are
/// read and written by copy, so the memory need not be aligned for T.
template <class T>
struct View1 {
    using Element = std::remove_const_t<T>;
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;

    T* data = nullptr;
    Index size = 0;
    Index stride = 0;

    Element operator[](Index i) const {
        Element value;
        std::memcpy(&value, address(i), sizeof value);
        return value;
    }
    void set(Index i, Element value) const { std::memcpy(address(i), &value, sizeof value); }

    /// Elements side by side and aligned, so that `data` may be used as a plain array.
    bool contiguous() const {
        const bool aligned = reinterpret_cast<std::uintptr_t>(data) % alignof(Element) == 0;
        return aligned && (size <= 1 || stride == static_cast<Index>(sizeof(T)));
    }

private:
    Byte* address(Index i) const { return reinterpret_cast<Byte*>(data) + i * stride; }
};

/// A plain array as a view.
template <class T>
View1<T> plain(T* data, Index size) {
    return {data, size, static_cast<Index>(sizeof(T))};
}

/// Two-dimensional strided view.
template <class T>
struct View2 {
    T* data = nullptr;
    Index rows = 0, cols = 0;
    Index row_stride = 0, col_stride = 0;

    View1<T> row(Index r) const {
        using Byte = typename View1<T>::Byte;
        return {reinterpret_cast<T*>(reinterpret_cast<Byte*>(data) + r * row_stride), cols, col_stride};
    }
};

/// Bytes of `count` elements of T, or false when that size cannot exist in a process (negative,
/// overflowing, or beyond the largest signed size).
template <class T>
bool bytes_of(Index count, std::size_t& bytes) {
    return count >= 0 && !__builtin_mul_overflow(static_cast<std::size_t>(count), sizeof(T), &bytes) &&
           bytes <= static_cast<std::size_t>(PTRDIFF_MAX);
}

}  // namespace vexora::core
