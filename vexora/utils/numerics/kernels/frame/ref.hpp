// Owning handle for Python object references.
#pragma once

#include <Python.h>

#include <utility>

namespace vexora::frame {

/// A strong reference, released when the handle goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        object_ = std::exchange(other.object_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    /// Takes over a new reference (nullptr allowed: an empty handle).
    static Ref steal(PyObject* object) noexcept {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    /// Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return steal(object);
    }

    PyObject* get() const noexcept { return object_; }
    /// Hands the reference on to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace vexora::frame
