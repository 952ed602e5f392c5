#pragma once

// Interpreter exit, as the module sees it: everything that keeps a thread of
// ours from crashing the process while Python shuts down lives here and in
// InterpreterExit.cpp.
//
// Python ends any thread that asks for the interpreter lock back once the
// interpreter finalizes, with pthread_exit; the forced unwind that starts is
// fatal in a noexcept frame (pybind11's lock guards) and trips the
// sanitizers anywhere. So a thread coming back from a call of ours does not
// ask at all once the interpreter is on its way out: from the module's
// atexit hook on it is parked for good, after letting go of any stream lock
// it holds, so that finalization can still close the stream. The main
// thread runs the finalization and is never parked. Atexit hooks run before
// finalization begins, so the hook's flag is all a thread needs to look at;
// should a thread already be waiting for the lock when finalization begins,
// the forced unwind is caught where it leaves CPython's C code and the
// thread parked inside the handler, so the unwind never crosses pybind11's
// frames nor releases Python objects without the lock.
//
// Private CPython names the module depends on, and why:
// - _PyThreadState_UncheckedGet: pybind11 2.13 calls it for 3.12. Python
//   3.13 dropped it, so InterpreterExit.cpp carries a weak definition that
//   lets the module load far enough under another interpreter for
//   PYBIND11_MODULE's version check to refuse it with a clear ImportError
//   instead of an "undefined symbol". Under 3.12 the interpreter's own
//   definition takes precedence (cmake/module.map keeps it global).
// - _PyType_Lookup (HandleBinding.cpp, not exit safety): the handle's
//   callbacks are looked up on the type's MRO alone, as Python's own method
//   lookup does, without pybind11's per-type cache of misses.
// Nothing else: whether the interpreter is finalizing is known from the
// module's own atexit hook, not from _Py_IsFinalizing.

#include <pybind11/pybind11.h>

#include <mutex>

namespace py = pybind11;

class InterpreterExit {
public:
    // Records the main thread and registers the atexit hook. Called once,
    // by the module's entry, with the interpreter lock held.
    static void Install();
    // Runs in the atexit hook, after threads start being parked and with
    // the interpreter lock held: stops what must not outlive the
    // interpreter (running servo loops). At most a few.
    static void AtExit(void (*stop)());
    // True from the atexit hook on. Safe without the interpreter lock.
    static bool Begun();
    // Whether this thread must not ask for the interpreter lock again.
    static bool Parks();
    [[noreturn]] static void Park();
    // PyObject_Call for a callback made from a thread of ours; a thread that
    // Python ends inside the callback stays here (see above). Null with a
    // Python error set, as PyObject_Call.
    static PyObject* Call(PyObject* callable, PyObject* arguments);
};

// Gives the interpreter lock away around a blocking call, as
// py::gil_scoped_release does, and takes it back only while the interpreter
// is not exiting. Parking is also what happens when an exception unwinds
// through here at exit (InterpreterExit from a callback). A stream lock
// named here is let go before parking.
class Unlocked {
public:
    explicit Unlocked(std::unique_lock<std::recursive_mutex>* release_before_parking = nullptr)
        : state_(PyEval_SaveThread()), release_(release_before_parking) {}
    ~Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    [[noreturn]] void Park();

    PyThreadState* state_;
    std::unique_lock<std::recursive_mutex>* release_;
};

// Takes the interpreter lock for a callback on a thread running without it
// (a handle's Receive). At interpreter exit it throws InterpreterExit
// instead, which unwinds to the call's Unlocked guard, where the thread is
// parked. Should Python end the thread while it waits for the lock, it is
// parked right here.
class Locked {
public:
    Locked();
    ~Locked() { PyGILState_Release(state_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    PyGILState_STATE state_;
};
