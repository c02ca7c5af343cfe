// How many threads a call may run, and the one budget of threads that every module shares.
#pragma once

#include <Python.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "../core/cpus.hpp"
#include "../core/parallel.hpp"
#include "../core/sync.hpp"
#include "../core/text.hpp"
#include "notes.hpp"
#include "ref.hpp"

namespace vexora::frame {

namespace detail {

inline int own_cgroup_cpus() { return core::cpus::cgroup_cpus("/proc/self/cgroup", "/sys/fs/cgroup"); }

/// The CPUs this process may run on, capped by a cgroup CPU quota; at least 1.
inline int available_cpus() {
    cpu_set_t set;
    int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    // The quota is read once a process: it does not change under a running program.
    const int quota = core::sync::computed_once<own_cgroup_cpus>();
    if (quota > 0) {
        cpus = std::min(cpus, quota);
    }
    return std::clamp(cpus, 1, core::parallel::max_threads);
}

/// Threads running or ready to run on the whole system now, the caller's included (Linux counts
/// them in /proc/loadavg: "0.52 0.58 0.59 2/1024 12345"); 0 when it cannot be read.
inline int runnable_threads() {
    char line[128];
    if (!core::text::read_first_line("/proc/loadavg", line, sizeof line)) {
        return 0;
    }
    const char* cursor = line;
    for (int field = 0; field < 3; ++field) {
        cursor = std::strchr(cursor, ' ');
        if (!cursor) {
            return 0;
        }
        cursor = core::text::skip_spaces(cursor);
    }
    int runnable = 0;
    return core::text::parse_integer(cursor, runnable) == core::text::Parsed::ok ? runnable : 0;
}

inline core::parallel::Budget own_budget;
inline core::parallel::Budget* shared_budget = &own_budget;

}  // namespace detail

inline constexpr const char* threads_variable = "VEXORA_NUM_THREADS";

/*
 * Most threads this call may run, read at each call so that a change of os.environ applies to the
 * next: VEXORA_NUM_THREADS; when unset, OMP_NUM_THREADS if it is a positive integer (or a list of
 * them, one per level of nesting: the first); either capped by the CPUs this process may run on,
 * themselves capped by a cgroup CPU quota, which are the count when neither is set (which
 * `machine_default`, where given, tells). More threads than CPUs would only take turns. An
 * invalid VEXORA_NUM_THREADS raises ValueError with a note for `function`; false then.
 */
inline bool thread_limit(const char* function, int& out, bool* machine_default = nullptr) {
    const char* text = std::getenv(threads_variable);
    int requested = 0;
    if (text) {
        requested = core::cpus::parse_thread_count(text);
        if (requested == 0) {
            PyErr_Format(PyExc_ValueError, "%s='%.200s' is not a positive integer", threads_variable, text);
            add_note(
                "%s: the environment variable %s is '%.200s'; it takes a positive integer, the most threads "
                "one call runs (results are the same for any number), or unset it for the default",
                function, threads_variable, text);
            return false;
        }
    } else {
        // OpenMP's per-level list ("4,2"): its first entry is the outer level's.
        requested = core::cpus::parse_thread_count(std::getenv("OMP_NUM_THREADS"), ',');
    }
    const int cpus = detail::available_cpus();
    out = requested > 0 ? std::min(requested, cpus) : cpus;
    if (machine_default) {
        *machine_default = requested == 0;
    }
    return true;
}

/*
 * Threads for work whose threads hand it to each other many times a call (ML-EM's iterations),
 * from the machine's default `cpus`: no more than one plus the CPUs of the system that no other
 * thread wants now. A thread that waits for a partner without a CPU loses a time slice at every
 * hand-on: beside one busy process on two cores, two such threads were slower than one. A limit
 * set by a variable is the caller's to choose and is not changed.
 */
inline int lockstep_threads(int cpus) {
    const int runnable = detail::runnable_threads();
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (runnable <= 0 || online <= 0) {
        return cpus;
    }
    return static_cast<int>(std::clamp<long>(online + 1 - runnable, 1, cpus));
}

/// The budget of threads that the calls of every module in the process share.
inline core::parallel::Budget& thread_budget() { return *detail::shared_budget; }

/*
 * Finds the budget that another module of the package made, in a capsule on the package, or
 * offers this module's own there. A forked child starts with its budget empty: the parent's
 * threads are not in it. Called once, at the module's initialisation; -1 with an exception set.
 */
inline int share_thread_budget(const char* package_name) {
    static constexpr const char* capsule_name = "vexora.utils.numerics.kernels._thread_budget.v1";
    Ref name = Ref::steal(PyUnicode_FromString(package_name));
    Ref package = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref{};
    if (!package) {
        return PyErr_Occurred() ? -1 : 0;
    }
    if (!PyModule_Check(package.get())) {
        return 0;
    }
    Ref key = Ref::steal(PyUnicode_FromString("_thread_budget"));
    Ref offered = Ref::steal(PyCapsule_New(&detail::own_budget, capsule_name, nullptr));
    if (!key || !offered) {
        return -1;
    }
    // Finding and offering in one step, so that modules imported at once on several threads
    // (without the GIL) end up with the first one's budget.
    PyObject* found = nullptr;
    if (PyDict_SetDefaultRef(PyModule_GetDict(package.get()), key.get(), offered.get(), &found) < 0) {
        return -1;
    }
    Ref shared = Ref::steal(found);
    if (PyCapsule_IsValid(shared.get(), capsule_name)) {
        detail::shared_budget = static_cast<core::parallel::Budget*>(PyCapsule_GetPointer(shared.get(), capsule_name));
    }
    if (detail::shared_budget == &detail::own_budget) {
        pthread_atfork(nullptr, nullptr, [] { detail::own_budget.reset(); });
    }
    return 0;
}

}  // namespace vexora::frame
