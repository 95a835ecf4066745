// Interrupt: how a long native wait lets its caller act while it waits.
// Python-free.
//
// A wait given an Interrupt sleeps in slices of at most kInterruptSlice and
// calls requested() between them, with no native lock held and the thread
// still registered as a waiter. When requested() answers true the wait is
// abandoned and leaves no trace: each core says how it undoes what it did.
// A wait given nullptr sleeps without slices, as it always has; so does every
// wait on a thread that has nothing to answer, which is why the slices cost
// only the threads that ask for them.
//
// The binding layer uses this to run the interpreter's signal handlers while
// its main thread waits (see SignalCheck in binding/detach.hpp).
#pragma once
#include <chrono>

namespace vornic {

// The longest a sliced wait sleeps between two calls of requested(): the
// delay before a waiting thread notices a request, and the reason an idle
// sliced wait wakes 20 times a second.
inline constexpr std::chrono::milliseconds kInterruptSlice{50};

class Interrupt {
public:
    // Called on the waiting thread between slices, and on any early return
    // from a sleep. True: abandon the wait.
    virtual bool requested() noexcept = 0;

protected:
    ~Interrupt() = default;
};

}  // namespace vornic
