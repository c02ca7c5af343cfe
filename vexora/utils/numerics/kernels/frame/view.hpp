// Array arguments: buffer acquisition with format checks, and strided views of the caller's memory.
#pragma once

#include <Python.h>
#include <numpy/arrayobject.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "../core/strided.hpp"

namespace vexora::frame {

using core::View1;
using core::View2;
static_assert(std::is_same_v<Py_ssize_t, core::Index>, "views index with Py_ssize_t");

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

enum class Access { read, write };

/// Why an array argument was refused, so that its note can say what to pass instead.
enum class ArrayError { none, not_an_array, dimensions, byte_order, element_type, layout };

/// A buffer exported by an argument, released when the holder goes out of scope.
/// A None argument holds no buffer and reads as an empty array.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(Buffer&& other) noexcept
        : view_(other.view_),
          shape_{other.shape_[0], other.shape_[1]},
          strides_{other.strides_[0], other.strides_[1]},
          place_(other.place_),
          held_(std::exchange(other.held_, false)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        Buffer old(std::move(*this));
        view_ = other.view_;
        std::memcpy(shape_, other.shape_, sizeof shape_);
        std::memcpy(strides_, other.strides_, sizeof strides_);
        place_ = other.place_;
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

    /// Why the last acquire() failed.
    ArrayError error() const { return error_; }

    template <class T>
    View1<T> view1() const {
        return {static_cast<T*>(held_ ? view_.buf : nullptr), shape_[0], strides_[0]};
    }

    template <class T>
    View2<T> view2() const {
        return {static_cast<T*>(held_ ? view_.buf : nullptr), shape_[0], shape_[1], strides_[0], strides_[1]};
    }

    /// Whether the memory opened still lies where it did: false once Python code that ran since
    /// resized or reallocated the ndarray exported, or the ndarray that owns its memory. NumPy
    /// allows both while a buffer is exported (ndarray.resize(..., refcheck=False),
    /// __setstate__); other exporters keep their memory while it is exported. Needs the lock.
    bool unchanged() const { return !held_ || place_.unchanged(); }

private:
    /*
     * Where an ndarray's memory lay when the buffer was opened: the exporter's own data, shape
     * and strides, and the data and size of the ndarray that owns the memory, reached through
     * ndarray bases and memoryviews (a view's memory goes when its base is resized).
     */
    struct Place {
        PyArrayObject* exported = nullptr;
        void* data = nullptr;
        int ndim = 0;
        npy_intp dims[2] = {0, 0};
        npy_intp strides[2] = {0, 0};
        PyArrayObject* owner = nullptr;
        void* owner_data = nullptr;
        npy_intp owner_bytes = 0;

        /// Records where `exporter`'s memory lies; the references along the way are the buffer's.
        void record(PyObject* exporter);
        bool unchanged() const;
    };

    /// Shape and strides as the exporter gave them, or as they follow from a C-contiguous
    /// layout where it left them out; false with ValueError when they contradict the length.
    bool resolve_layout(int ndim);
    bool fail(ArrayError error) {
        error_ = error;
        return false;
    }

    Py_buffer view_{};
    // Read once from the exporter's arrays, which need not exist (NULL shape or strides).
    Py_ssize_t shape_[2] = {0, 0};
    Py_ssize_t strides_[2] = {0, 0};
    Place place_;
    bool held_ = false;
    ArrayError error_ = ArrayError::none;
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

inline ArrayError raise_mismatch(const ElementType& type, const char* found) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", type.name, "'", found);
    return ArrayError::element_type;
}

/// Checks a buffer format string (one type character, optional byte-order prefix) against `type`:
/// ArrayError::none, or what is wrong with ValueError set.
inline ArrayError check_format(const char* format, const ElementType& type) {
    const char* f = format ? format : "B";
    bool standard = false;
    switch (*f) {
        case '@':
        case '^': ++f; break;
        case '=':
        case '<':
            standard = true;
            ++f;
            break;
        case '>':
        case '!':
            PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
            return ArrayError::byte_order;
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
        return ArrayError::layout;
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
        return ArrayError::element_type;
    }
    if (standard && *f == 'g') {
        PyErr_SetString(PyExc_ValueError,
                        "Python does not define a standard format string size for long double ('g')..");
        return ArrayError::element_type;
    }
    if (f[1] != '\0') {
        return raise_mismatch(type, "unparsable format string");
    }
    Py_ssize_t size = standard ? found.standard_size : found.native_size;
    if (found.kind != type.kind || size != type.size) {
        return raise_mismatch(type, found.description);
    }
    return ArrayError::none;
}

}  // namespace detail

inline bool Buffer::resolve_layout(int ndim) {
    const Py_buffer& v = view_;
    if (!v.shape && ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, 1);
        return fail(ArrayError::dimensions);
    }
    Py_ssize_t elements = 1;
    for (int axis = 0; axis < ndim; ++axis) {
        shape_[axis] = v.shape ? v.shape[axis] : v.len / v.itemsize;
        if (shape_[axis] < 0 || __builtin_mul_overflow(elements, shape_[axis], &elements)) {
            PyErr_SetString(PyExc_ValueError, "Buffer shape is negative or too large");
            return fail(ArrayError::layout);
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
        return fail(ArrayError::layout);
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
        return fail(PyErr_ExceptionMatches(PyExc_TypeError) ? ArrayError::not_an_array : ArrayError::layout);
    }
    acquired.held_ = true;
    const Py_buffer& v = acquired.view_;
    if (v.ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, v.ndim);
        return fail(ArrayError::dimensions);
    }
    if (const ArrayError error = detail::check_format(v.format, type); error != ArrayError::none) {
        return fail(error);
    }
    if (v.itemsize != type.size) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     v.itemsize, v.itemsize > 1 ? "s" : "", type.name, type.size, type.size > 1 ? "s" : "");
        return fail(ArrayError::element_type);
    }
    // Indirect (PIL-style) buffers cannot be addressed through a pointer and strides, whatever
    // the parameter: an exporter that hands one out despite the flags is refused.
    if (v.suboffsets && v.len != 0) {
        if (!v.strides) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return fail(ArrayError::layout);
        }
        for (int axis = 0; axis < ndim; ++axis) {
            if (v.suboffsets[axis] >= 0) {
                PyErr_Format(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", axis);
                return fail(ArrayError::layout);
            }
        }
    }
    if (!acquired.resolve_layout(ndim)) {
        return fail(acquired.error_);
    }
    acquired.place_.record(v.obj);
    *this = std::move(acquired);
    return true;
}

inline void Buffer::Place::record(PyObject* exporter) {
    if (exporter && PyArray_Check(exporter) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(exporter)) <= 2) {
        exported = reinterpret_cast<PyArrayObject*>(exporter);
        data = PyArray_DATA(exported);
        ndim = PyArray_NDIM(exported);
        for (int axis = 0; axis < ndim; ++axis) {
            dims[axis] = PyArray_DIM(exported, axis);
            strides[axis] = PyArray_STRIDE(exported, axis);
        }
    }
    for (PyObject* object = exporter; object;) {
        if (PyArray_Check(object)) {
            auto* array = reinterpret_cast<PyArrayObject*>(object);
            if (!PyArray_BASE(array)) {
                owner = array;
                owner_data = PyArray_DATA(array);
                owner_bytes = PyArray_NBYTES(array);
                return;
            }
            object = PyArray_BASE(array);
        } else if (PyMemoryView_Check(object)) {
            object = PyMemoryView_GET_BASE(object);
        } else {
            return;
        }
    }
}

inline bool Buffer::Place::unchanged() const {
    if (exported) {
        if (PyArray_DATA(exported) != data || PyArray_NDIM(exported) != ndim) {
            return false;
        }
        for (int axis = 0; axis < ndim; ++axis) {
            if (PyArray_DIM(exported, axis) != dims[axis] || PyArray_STRIDE(exported, axis) != strides[axis]) {
                return false;
            }
        }
    }
    return !owner || (PyArray_DATA(owner) == owner_data && PyArray_NBYTES(owner) == owner_bytes);
}

inline void raise_out_of_bounds(int axis = 0) {
    PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

}  // namespace vexora::frame
