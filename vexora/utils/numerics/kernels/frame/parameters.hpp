// Array parameters described by a table per function: what each takes, its element type,
// dimensions and access, and the advice its notes give; one routine tests, opens and notes them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "bind.hpp"
#include "in_place.hpp"
#include "notes.hpp"
#include "view.hpp"

namespace vexora::frame {

/// The objects an array parameter takes before its buffer is opened.
enum class Accepts {
    buffer,           ///< any buffer exporter, not tested first; None reads as an empty array
    ndarray_or_none,  ///< an ndarray (subclasses included), or None, which reads as an empty array
    ndarray,          ///< an ndarray (subclasses included); None is refused, the data is needed
};

/*
 * One array parameter as the function declares it. The advice completes a note's sentence, each
 * %s in it (two at most) standing for the parameter's name; without one the note gives the
 * frame's own.
 */
struct ArrayParameter {
    const char* name;
    ElementType type;
    int ndim;  ///< 1 or 2
    Access access;
    Accepts accepts;
    /// After "must be a one-dimensional float64 array", when another element type was passed.
    const char* dtype_advice = nullptr;
    /// After "must be a two-dimensional float64 array", when other dimensions were passed.
    const char* shape_advice = nullptr;
};

namespace detail {

inline const char* dtype_name(const ElementType& type) {
    return type.kind == 'f' ? "float64" : type.size == 8 ? "int64" : "int32";
}

/// `advice`, or the frame's own when there is none, with the parameter's name put in.
inline void format_advice(char (&out)[256], const char* advice, const char* general, const char* name) {
    PyOS_snprintf(out, sizeof out, advice ? advice : general, name, name);
}

}  // namespace detail

/// Notes the pending error of array argument `parameter` of `function`, refused for `error`.
inline void note_array_argument(const char* function, const ArrayParameter& parameter, ArrayError error) {
    const char* param = parameter.name;
    const char* dims = parameter.ndim == 1 ? "one-dimensional" : "two-dimensional";
    const char* dtype = detail::dtype_name(parameter.type);
    char advice[256];
    switch (error) {
        case ArrayError::not_an_array:
            add_note("%s: argument '%s' must be a %s %s numpy.ndarray: pass np.asarray(%s, dtype=np.%s)", function,
                     param, dims, dtype, param, dtype);
            return;
        case ArrayError::dimensions:
            detail::format_advice(advice, parameter.shape_advice,
                                  parameter.ndim == 1 ? ": pass one row, e.g. %s[0], or %s.ravel()" : "", param);
            add_note("%s: argument '%s' must be a %s %s array%s", function, param, dims, dtype, advice);
            return;
        case ArrayError::byte_order:
            add_note("%s: argument '%s' must be %s in the machine's (little-endian) byte order: pass %s.astype(np.%s)",
                     function, param, dtype, param, dtype);
            return;
        case ArrayError::element_type:
            detail::format_advice(advice, parameter.dtype_advice,
                                  parameter.type.kind == 'f'
                                      ? ": integer counts or float32 data can be passed as %s.astype(np.float64)"
                                      : "",
                                  param);
            add_note("%s: argument '%s' must be a %s %s array%s", function, param, dims, dtype, advice);
            return;
        case ArrayError::none:
        case ArrayError::layout:
            add_note("%s: argument '%s' must be a %s %s array addressable with strides: pass np.ascontiguousarray(%s)",
                     function, param, dims, dtype, param);
            return;
    }
}

/*
 * Tests objects[i] as parameters[i] accepts, in order; false with TypeError and the note of the
 * first refused, whose index is left in `refused`. The tests run no Python code.
 */
inline bool check_array_types(const char* function, std::span<const ArrayParameter> parameters,
                              PyObject* const* objects, std::size_t& refused) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        const ArrayParameter& parameter = parameters[i];
        bool accepted = true;
        if (parameter.accepts == Accepts::ndarray_or_none) {
            accepted = check_ndarray(objects[i], parameter.name);
        } else if (parameter.accepts == Accepts::ndarray) {
            accepted = check_ndarray_required(objects[i], parameter.name);
        }
        if (!accepted) {
            note_array_argument(function, parameter, ArrayError::not_an_array);
            refused = i;
            return false;
        }
    }
    return true;
}

inline bool check_array_types(const char* function, std::span<const ArrayParameter> parameters,
                              PyObject* const* objects) {
    std::size_t refused;
    return check_array_types(function, parameters, objects, refused);
}

/*
 * The buffers of a function's array parameters, opened as its table says. open() tests every
 * object's type first, then opens each buffer in the table's order (opening one can run Python
 * code, a subclass's __buffer__), so that errors come in one fixed order; a refusal carries the
 * parameter's note. The buffers are released with this object, into which the InPlace arguments
 * it hands out point.
 */
template <std::size_t N>
class ArrayArguments {
public:
    ArrayArguments(const char* function, const ArrayParameter (&parameters)[N])
        : function_(function), parameters_(parameters) {
        for (std::size_t i = 0; i < N; ++i) {
            in_place_[i] = {&buffers_[i], parameters[i].name, true};
        }
    }
    ArrayArguments(const ArrayArguments&) = delete;
    ArrayArguments& operator=(const ArrayArguments&) = delete;

    /// Opens objects[i] for parameter i; false with an exception and its note, refused() being
    /// the parameter's index.
    bool open(PyObject* const* objects) {
        if (!check_array_types(function_, parameters_, objects, refused_)) {
            return false;
        }
        for (std::size_t i = 0; i < N; ++i) {
            const ArrayParameter& parameter = parameters_[i];
            if (!buffers_[i].acquire(objects[i], parameter.type, parameter.ndim, parameter.access)) {
                note_array_argument(function_, parameter, buffers_[i].error());
                refused_ = i;
                return false;
            }
        }
        return true;
    }

    /// The index of the parameter that open() refused.
    std::size_t refused() const { return refused_; }

    const Buffer& operator[](std::size_t i) const { return buffers_[i]; }

    /// Parameter i as InPlace checks it.
    const InPlace::Argument& in_place(std::size_t i) const { return in_place_[i]; }

    /// Every parameter, checked in the table's order.
    InPlace all_in_place() const { return {function_, in_place_}; }

private:
    const char* function_;
    std::span<const ArrayParameter, N> parameters_;
    Buffer buffers_[N];
    InPlace::Argument in_place_[N];
    std::size_t refused_ = 0;
};

}  // namespace vexora::frame
