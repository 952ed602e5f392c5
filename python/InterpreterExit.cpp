#include "InterpreterExit.h"

#include <atomic>

#include <pthread.h>
#include <unistd.h>

// See InterpreterExit.h: lets the module load far enough under another
// interpreter version to be refused with a clear ImportError.
extern "C" __attribute__((weak, visibility("default"))) PyThreadState* _PyThreadState_UncheckedGet(void) {
    return nullptr;
}

namespace {

std::atomic<bool> begun{false};
pthread_t main_thread;
constexpr int kStoppers = 4;
void (*stoppers[kStoppers])() = {};

}  // namespace

void InterpreterExit::Install() {
    main_thread = static_cast<pthread_t>(
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        // First the flag, under the interpreter lock: a thread that starts a
        // loop holds that lock throughout, so it either started before this
        // hook (and is stopped below) or sees the flag and refuses.
        begun.store(true, std::memory_order_release);
        for (auto* stop : stoppers) {
            if (stop != nullptr) stop();
        }
    }));
}

void InterpreterExit::AtExit(void (*stop)()) {
    for (auto*& slot : stoppers) {
        if (slot == nullptr) {
            slot = stop;
            return;
        }
    }
}

bool InterpreterExit::Begun() { return begun.load(std::memory_order_acquire); }

bool InterpreterExit::Parks() { return !pthread_equal(pthread_self(), main_thread) && Begun(); }

void InterpreterExit::Park() {
    for (;;) ::pause();
}

PyObject* InterpreterExit::Call(PyObject* callable, PyObject* arguments) {
    try {
        return PyObject_Call(callable, arguments, nullptr);
    } catch (...) {  // only a forced unwind can come out of the C call above
        // Unwinding would release Python objects without the interpreter lock.
        Park();
    }
}

Unlocked::~Unlocked() {
    if (!InterpreterExit::Parks()) {
        try {
            PyEval_RestoreThread(state_);
            return;
        } catch (...) {  // only a forced unwind can come out of the C call above
            Park();      // inside the handler: the unwind is never rethrown
        }
    }
    Park();
}

void Unlocked::Park() {
    if (release_ != nullptr && release_->owns_lock()) release_->unlock();
    InterpreterExit::Park();
}

Locked::Locked() {
    if (InterpreterExit::Parks()) throw InterpreterExit{};
    try {
        state_ = PyGILState_Ensure();
    } catch (...) {  // only a forced unwind can come out of the C call above
        InterpreterExit::Park();
    }
}
