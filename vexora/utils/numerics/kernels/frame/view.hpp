// Array arguments: buffer acquisition with format checks, and strided views of the caller's memory.
#pragma once

#include <Python.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace vexora::frame {

/// An element type as messages name it, with the kind and size a buffer format must match.
struct ElementType {
    const char* name;
    char kind;  ///< 'f' real, 'i' signed integer
    Py_ssize_t size;
};

namespace element {
inline constexpr ElementType float64{"float64_t", 'f', 8};
inline constexpr ElementType int64{"int64_t", 'i', 8};
inline constexpr ElementType int32{"int32_t", 'i', 4};
inline constexpr ElementType double_{"double", 'f', 8};
inline constexpr ElementType const_double{"const double", 'f', 8};
}  // namespace element

/// One-dimensional strided view; `stride` is in bytes and may be zero or negative. Elements are
/// read and written by copy, so a buffer need not be aligned for T.
template <class T>
struct View1 {
    using Element = std::remove_const_t<T>;
    using Byte = std::conditional_t<std::is_const_v<T>, const char, char>;

    T* data = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t stride = 0;

    Element operator[](Py_ssize_t i) const {
        Element value;
        std::memcpy(&value, address(i), sizeof value);
        return value;
    }
    void set(Py_ssize_t i, Element value) const { std::memcpy(address(i), &value, sizeof value); }

    /// Elements side by side and aligned, so that `data` may be used as a plain array.
    bool contiguous() const {
        const bool aligned = reinterpret_cast<std::uintptr_t>(data) % alignof(Element) == 0;
        return aligned && (size <= 1 || stride == static_cast<Py_ssize_t>(sizeof(T)));
    }

private:
    Byte* address(Py_ssize_t i) const { return reinterpret_cast<Byte*>(data) + i * stride; }
};

/// Two-dimensional strided view.
template <class T>
struct View2 {
    T* data = nullptr;
    Py_ssize_t rows = 0, cols = 0;
    Py_ssize_t row_stride = 0, col_stride = 0;

    View1<T> row(Py_ssize_t r) const {
        using Byte = typename View1<T>::Byte;
        return {reinterpret_cast<T*>(reinterpret_cast<Byte*>(data) + r * row_stride), cols, col_stride};
    }

    /// Rows side by side, elements side by side and aligned: `data` is a plain rows x cols array.
    bool dense() const {
        const bool aligned = reinterpret_cast<std::uintptr_t>(data) % alignof(std::remove_const_t<T>) == 0;
        const auto item = static_cast<Py_ssize_t>(sizeof(T));
        return aligned && (cols <= 1 || col_stride == item) && (rows <= 1 || row_stride == cols * item);
    }
};

enum class Access { read, write };

/// A buffer exported by an argument, released when the holder goes out of scope.
/// A None argument holds no buffer and reads as an empty array.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(Buffer&& other) noexcept
        : view_(other.view_), shape_{other.shape_[0], other.shape_[1]}, strides_{other.strides_[0], other.strides_[1]},
          held_(std::exchange(other.held_, false)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        Buffer old(std::move(*this));
        view_ = other.view_;
        std::memcpy(shape_, other.shape_, sizeof shape_);
        std::memcpy(strides_, other.strides_, sizeof strides_);
        held_ = std::exchange(other.held_, false);
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }

    /// Opens `object` as a buffer of `ndim` (1 or 2) dimensions of `type`. Returns false with a
    /// Python exception set.
    bool acquire(PyObject* object, const ElementType& type, int ndim, Access access);

    Py_ssize_t shape(int axis) const { return shape_[axis]; }

    template <class T>
    View1<T> view1() const {
        return {static_cast<T*>(held_ ? view_.buf : nullptr), shape_[0], strides_[0]};
    }

    template <class T>
    View2<T> view2() const {
        return {static_cast<T*>(held_ ? view_.buf : nullptr), shape_[0], shape_[1], strides_[0], strides_[1]};
    }

private:
    /// Shape and strides as the exporter gave them, or as they follow from a C-contiguous
    /// layout where it left them out; false with ValueError when they contradict the length.
    bool resolve_layout(int ndim);

    Py_buffer view_{};
    // Read once from the exporter's arrays, which need not exist (NULL shape or strides).
    Py_ssize_t shape_[2] = {0, 0};
    Py_ssize_t strides_[2] = {0, 0};
    bool held_ = false;
};

namespace detail {

struct FormatChar {
    char kind;  ///< 'c' char, 'i' signed, 'u' unsigned, 'f' real, 'z' complex, 'O' object, 'P' pointer
    Py_ssize_t native_size;
    Py_ssize_t standard_size;
    const char* description;
};

inline bool describe_format_char(char c, bool complex, FormatChar& out) {
    if (complex) {
        switch (c) {
            case 'f': out = {'z', 8, 8, "'complex float'"}; return true;
            case 'd': out = {'z', 16, 16, "'complex double'"}; return true;
            case 'g': out = {'z', 32, 32, "'complex long double'"}; return true;
            default: return false;
        }
    }
    switch (c) {
        case 'c': out = {'c', 1, 1, "'char'"}; return true;
        case 'b': out = {'i', 1, 1, "'signed char'"}; return true;
        case 'B': out = {'u', 1, 1, "'unsigned char'"}; return true;
        case 'h': out = {'i', 2, 2, "'short'"}; return true;
        case 'H': out = {'u', 2, 2, "'unsigned short'"}; return true;
        case 'i': out = {'i', 4, 4, "'int'"}; return true;
        case 'I': out = {'u', 4, 4, "'unsigned int'"}; return true;
        case 'l': out = {'i', 8, 4, "'long'"}; return true;
        case 'L': out = {'u', 8, 4, "'unsigned long'"}; return true;
        case 'q': out = {'i', 8, 8, "'long long'"}; return true;
        case 'Q': out = {'u', 8, 8, "'unsigned long long'"}; return true;
        case '?': out = {'u', 1, 1, "'bool'"}; return true;
        case 'f': out = {'f', 4, 4, "'float'"}; return true;
        case 'd': out = {'f', 8, 8, "'double'"}; return true;
        case 'g': out = {'f', 16, 16, "'long double'"}; return true;
        case 's':
        case 'p': out = {'i', 1, 1, "a string"}; return true;
        case 'O': out = {'O', 8, 8, "Python object"}; return true;
        case 'P': out = {'P', 8, 8, "a pointer"}; return true;
        default: return false;
    }
}

inline bool raise_mismatch(const ElementType& type, const char* found) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", type.name, "'", found);
    return false;
}

/// Checks a buffer format string (one type character, optional byte-order prefix) against `type`.
inline bool check_format(const char* format, const ElementType& type) {
    const char* f = format ? format : "B";
    bool standard = false;
    switch (*f) {
        case '@':
        case '^': ++f; break;
        case '=':
        case '<': standard = true; ++f; break;
        case '>':
        case '!':
            PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
            return false;
        default: break;
    }
    if (*f == 'T') {
        return raise_mismatch(type, "a struct");
    }
    if (std::isdigit(static_cast<unsigned char>(*f))) {
        while (std::isdigit(static_cast<unsigned char>(*f))) {
            ++f;
        }
        if (*f == 's' || *f == 'p') {
            return raise_mismatch(type, "a string");
        }
        PyErr_SetString(PyExc_ValueError, "Cannot handle repeated arrays in format string");
        return false;
    }
    bool complex = *f == 'Z';
    if (complex) {
        ++f;
    }
    if (*f == '\0') {
        return raise_mismatch(type, "end");
    }
    FormatChar found;
    if (!describe_format_char(*f, complex, found)) {
        PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", *f);
        return false;
    }
    if (standard && *f == 'g') {
        PyErr_SetString(PyExc_ValueError,
                        "Python does not define a standard format string size for long double ('g')..");
        return false;
    }
    if (f[1] != '\0') {
        return raise_mismatch(type, "unparsable format string");
    }
    Py_ssize_t size = standard ? found.standard_size : found.native_size;
    if (found.kind != type.kind || size != type.size) {
        return raise_mismatch(type, found.description);
    }
    return true;
}

}  // namespace detail

inline bool Buffer::resolve_layout(int ndim) {
    const Py_buffer& v = view_;
    if (!v.shape && ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, 1);
        return false;
    }
    Py_ssize_t elements = 1;
    for (int axis = 0; axis < ndim; ++axis) {
        shape_[axis] = v.shape ? v.shape[axis] : v.len / v.itemsize;
        if (shape_[axis] < 0 || __builtin_mul_overflow(elements, shape_[axis], &elements)) {
            PyErr_SetString(PyExc_ValueError, "Buffer shape is negative or too large");
            return false;
        }
    }
    if (v.strides) {
        for (int axis = 0; axis < ndim; ++axis) {
            strides_[axis] = v.strides[axis];
        }
        return true;
    }
    // No strides: C-contiguous, which only holds if the elements fill the buffer exactly.
    Py_ssize_t bytes;
    if (__builtin_mul_overflow(elements, v.itemsize, &bytes) || bytes != v.len) {
        PyErr_SetString(PyExc_ValueError, "Buffer length does not match its shape");
        return false;
    }
    Py_ssize_t stride = v.itemsize;
    for (int axis = ndim - 1; axis >= 0; --axis) {
        strides_[axis] = stride;
        stride *= shape_[axis];
    }
    return true;
}

inline bool Buffer::acquire(PyObject* object, const ElementType& type, int ndim, Access access) {
    if (object == Py_None) {
        return true;
    }
    int flags = PyBUF_STRIDES | PyBUF_FORMAT | (access == Access::write ? PyBUF_WRITABLE : 0);
    Buffer acquired;
    if (PyObject_GetBuffer(object, &acquired.view_, flags) < 0) {
        return false;
    }
    acquired.held_ = true;
    const Py_buffer& v = acquired.view_;
    if (v.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, v.ndim);
        return false;
    }
    if (!detail::check_format(v.format, type)) {
        return false;
    }
    if (v.itemsize != type.size) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     v.itemsize, v.itemsize > 1 ? "s" : "", type.name, type.size, type.size > 1 ? "s" : "");
        return false;
    }
    // Indirect (PIL-style) buffers cannot be addressed through a pointer and strides, whatever
    // the parameter: an exporter that hands one out despite the flags is refused.
    if (v.suboffsets && v.len != 0) {
        if (!v.strides) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return false;
        }
        for (int axis = 0; axis < ndim; ++axis) {
            if (v.suboffsets[axis] >= 0) {
                PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", axis);
                return false;
            }
        }
    }
    if (!acquired.resolve_layout(ndim)) {
        return false;
    }
    *this = std::move(acquired);
    return true;
}

/// Python-style index into a checked array of `size` elements: negative counts from the end.
inline bool wrap_index(Py_ssize_t& index, Py_ssize_t size) {
    if (index < 0) {
        index += size;
    }
    return index >= 0 && index < size;
}

inline void raise_out_of_bounds(int axis = 0) {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

}  // namespace vexora::frame
