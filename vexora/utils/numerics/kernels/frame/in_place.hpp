// Array arguments that a call keeps reading in place while Python code may run in its middle.
#pragma once

#include <Python.h>

#include <span>

#include "view.hpp"

namespace vexora::frame {

/*
 * The arrays a call reads in place, each named as messages name it. Python code can run in the
 * middle of a call: a signal handler at a long loop's check, a function of `np` (a module global
 * that the caller may replace), a finaliser run by the collector. Such code can resize an ndarray
 * whose buffer the call holds, freeing the memory it reads; so after it may have run, and before
 * the arguments are read again, the call asks intact().
 */
class InPlace {
public:
    struct Argument {
        const Buffer* buffer;
        const char* name;  ///< a parameter's name, or how messages name another array: "its result ..."
        bool parameter;    ///< messages say "argument 'y'"
    };

    /// Over `arguments`, which the caller keeps for the lifetime of this object.
    InPlace(const char* function, std::span<const Argument> arguments) : function_(function), arguments_(arguments) {}

    /// True when every argument's memory lies where it did; otherwise false with BufferError
    /// naming the first that moved. Needs the lock.
    bool intact() const {
        for (const Argument& argument : arguments_) {
            if (!argument.buffer->unchanged()) {
                PyErr_Format(PyExc_BufferError,
                             "%s: %s%s%s was resized or reallocated during the call; its memory can no longer be "
                             "read (change arrays only while no call is reading them)",
                             function_, argument.parameter ? "argument '" : "", argument.name,
                             argument.parameter ? "'" : "");
                return false;
            }
        }
        return true;
    }

private:
    const char* function_;
    std::span<const Argument> arguments_;
};

}  // namespace vexora::frame
