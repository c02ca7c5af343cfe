// How a long lock-free loop learns that its caller wants it to stop.
#pragma once

namespace vexora::core {

/*
 * Asked between units of work of a long loop (an iteration, a batch of rows): true when the loop
 * must stop and return at once, its outputs incomplete. The caller decides how often that really
 * costs anything (the binding reads a clock and looks for signals about every 50 ms). The default
 * never stops.
 */
struct Interrupt {
    bool (*requested)(void* context) = [](void*) { return false; };
    /// Whether asking now may run code that changes the loop's inputs (a signal handler), so that
    /// a loop whose work other threads share must hold them first.
    bool (*asks_caller)(void* context) = [](void*) { return false; };
    void* context = nullptr;

    bool operator()() const { return requested(context); }
    bool due() const { return asks_caller(context); }
};

}  // namespace vexora::core
