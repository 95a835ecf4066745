// Failures as native code sees them, and every fixed message in one place.
//
// Native code reports a failure by throwing; the one catch ladder in call.hpp
// turns it into a Python exception at the method boundary:
//   PythonError      the interpreter's error indicator is already set: pass it on
//   Error            a builtin exception type with a fixed message
//   Panic            PanicException with the given text
//   std::bad_alloc   MemoryError
//   std::exception   PanicException with what()
//   anything else    PanicException "panic from Rust code"
#pragma once
#include "binding/py.hpp"

#include <stdexcept>
#include <string>

namespace vornic {

namespace msg {
// Calling layer
inline constexpr const char* kPanicDefault = "panic from Rust code";
inline constexpr const char* kMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kBorrowed = "Already borrowed";
inline constexpr const char* kBadDuration = "cannot convert float seconds to Duration: value is either too big or NaN";
inline constexpr const char* kFinalizing = "Cannot attach to the Python interpreter while it is finalizing.";
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr const char* kAppendAll = "could not append __name__ to __all__";
// Atomics
inline constexpr const char* kUnsupportedOrdering = "Unsupported memory ordering: ";
inline constexpr const char* kReleaseLoad = "there is no such thing as a release load";
inline constexpr const char* kAcqRelLoad = "there is no such thing as an acquire-release load";
inline constexpr const char* kAcquireStore = "there is no such thing as an acquire store";
inline constexpr const char* kAcqRelStore = "there is no such thing as an acquire-release store";
// ConcurrentMap
inline constexpr const char* kShardCountZero = "shard_count must be greater than zero";
inline constexpr const char* kPopitemEmpty = "popitem(): map is empty";
// The mapping update's errors are dict.update's (printf formats: count; index; index, length).
inline constexpr const char* kUpdateArgs = "update expected at most 1 argument, got %zd";
inline constexpr const char* kUpdateNotSequence = "cannot convert dictionary update sequence element #%zd to a sequence";
inline constexpr const char* kUpdateBadLength = "dictionary update sequence element #%zd has length %zd; 2 is required";
// Channel
inline constexpr const char* kCapacityNegative = "Capacity must be non-negative";
inline constexpr const char* kTimeoutNegative = "Timeout must be non-negative";
inline constexpr const char* kClosed = "Channel is closed";
inline constexpr const char* kClosedEmpty = "Channel is closed and empty";
inline constexpr const char* kEmpty = "Channel is empty";
inline constexpr const char* kFull = "Channel is full";
inline constexpr const char* kRecvTimeout = "recv() timed out waiting for available item";
inline constexpr const char* kSendTimeout = "send() timed out waiting for channel capacity";
inline constexpr const char* kAwaitedTwice = "cannot reuse an already awaited channel operation";
inline constexpr const char* kArecvNeverAwaited = "Channel.arecv() was never awaited";
inline constexpr const char* kAsendNeverAwaited = "Channel.asend() was never awaited";
inline constexpr const char* kAnextNeverAwaited = "Channel.__anext__() was never awaited";
inline constexpr const char* kAselectNeverAwaited = "aselect() was never awaited";
inline constexpr const char* kBadThrow = "exceptions must be classes or instances deriving from BaseException";
// select
inline constexpr const char* kOpsEmpty = "Operations list cannot be empty";
inline constexpr const char* kOpsType = "Operations must be of type RecvOp or SendOp";
inline constexpr const char* kSelectedClosedEmpty = "Selected channel is closed and empty";
inline constexpr const char* kSelectedClosed = "Selected channel is closed";
inline constexpr const char* kSelectTimeout = "select() timed out waiting for ready channel";
// RwLock
inline constexpr const char* kGuardEntered = "Lock guard already entered";
inline constexpr const char* kReadLockTimeout = "Timed out waiting for the read lock";
inline constexpr const char* kWriteLockTimeout = "Timed out waiting for the write lock";
inline constexpr const char* kReaderOverflow = "RwLock reader count overflow";
// ThreadPool
inline constexpr const char* kWorkersZero = "num_workers must be greater than zero";
inline constexpr const char* kPoolShutdown = "ThreadPool is shutdown";
inline constexpr const char* kSubmitFailed = "Failed to submit task to worker threads";
inline constexpr const char* kSpawnFailed = "failed to spawn thread: ";
inline constexpr const char* kMapBuffersize =
    "ThreadPool.map() supports buffersize on Python 3.14 and newer only, as concurrent.futures.Executor.map does";
}  // namespace msg

// The interpreter's error indicator is set; the boundary returns NULL as is.
struct PythonError {};

// A builtin exception with a fixed message.
class Error : public std::runtime_error {
public:
    Error(PyObject* type, const std::string& text) : std::runtime_error(text), type_(type) {}
    PyObject* type() const { return type_; }

private:
    PyObject* type_;
};

inline Error TypeError(const std::string& t) { return Error(PyExc_TypeError, t); }
inline Error ValueError(const std::string& t) { return Error(PyExc_ValueError, t); }
inline Error RuntimeError(const std::string& t) { return Error(PyExc_RuntimeError, t); }
inline Error TimeoutError(const std::string& t) { return Error(PyExc_TimeoutError, t); }

// A native fault: surfaces as PanicException with this text.
class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Requires: attached. Borrowed reference to the process-wide PanicException
// type, created on first use; nullptr with an error set if creation failed.
PyObject* panic_exception_type();

// Requires: attached. Sets PanicException(text) as the current error.
void raise_panic(const char* text);

// Requires: attached. Sets the current error from the exception being handled
// (call only inside a catch block). Never throws.
void set_error_from_current_exception() noexcept;

// Requires: attached. Throws PythonError if the error indicator is set.
inline void throw_if_error() {
    if (PyErr_Occurred()) throw PythonError{};
}

// Requires: attached. Returns p (a new reference) or throws PythonError if null.
inline PyObject* check(PyObject* p) {
    if (!p) throw PythonError{};
    return p;
}

// "'{type}' object is not an instance of '{target}'" for obj (or the None form).
[[noreturn]] void throw_cast_error(PyObject* obj, const char* target);

}  // namespace vornic
