#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>

#include <pthread.h>
#include <unistd.h>

#include "TessaryHardwareAPI/Handle.h"
#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/Triaxon.h"
#include "TessaryHardwareAPI/UUID.h"

namespace Tessary::HardwareAPI {}
// The short alias is also how pybind11's override macros spell class names in
// their messages ("API::Devices::Handle::...").
namespace API = Tessary::HardwareAPI;
namespace py = pybind11;

// One registration function per class group, called by the module entry in
// the order in which the module's attributes are created.
void RegisterSerialStream(py::module_& m);
void RegisterIdentifier(py::module_& m);
void RegisterDetection(py::module_& m);
void RegisterTriaxon(py::module_& m);
void RegisterHandle(py::module_& m);
// Added after __version__, so the older attributes keep their order.
void RegisterPortProbes(py::module_& m);
void RegisterLinkState(py::module_& m);
void RegisterServoLoop(py::module_& m);

// Interpreter exit, as the module sees it. Python ends any thread that asks
// for the interpreter lock back once the interpreter finalizes, with
// pthread_exit; the forced unwind that starts is fatal in a noexcept frame
// (pybind11's lock guards) and trips the sanitizers anywhere. So a thread
// coming back from a call of ours does not ask at all once the interpreter
// is on its way out: from the module's atexit hook on (or once finalization
// has begun) it is parked for good, after letting go of any stream lock it
// holds, so that finalization can still close the stream. The main thread
// runs the finalization and is never parked.
struct InterpreterExit {
    static std::atomic<bool>& Begun() {
        static std::atomic<bool> begun{false};
        return begun;
    }
    static pthread_t& MainThread() {
        static pthread_t thread = pthread_self();
        return thread;
    }
    // Asked without the interpreter lock; looked up at import rather than
    // linked, so that another interpreter version still loads the module far
    // enough to be told it is the wrong one.
    static int (*&Finalizing())() {
        static int (*query)() = nullptr;
        return query;
    }
    static bool Parks() {
        if (pthread_equal(pthread_self(), MainThread())) return false;
        return Begun().load(std::memory_order_acquire) || (Finalizing() != nullptr && Finalizing()());
    }
    [[noreturn]] static void Park() {
        for (;;) ::pause();
    }
};

// Gives the interpreter lock away around a blocking call, as
// py::gil_scoped_release does, and takes it back only while the interpreter
// is not exiting (above). Should finalization begin while this thread waits
// for the lock, the forced unwind is caught here and the thread parked.
// Parking is also what happens when an exception unwinds through here at
// exit (InterpreterExit from a callback).
class Unlocked {
public:
    explicit Unlocked(std::unique_lock<std::recursive_mutex>* release_before_parking = nullptr)
        : state_(PyEval_SaveThread()), release_(release_before_parking) {}
    ~Unlocked() {
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
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    [[noreturn]] void Park() {
        if (release_ != nullptr && release_->owns_lock()) release_->unlock();
        InterpreterExit::Park();
    }

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
    Locked() {
        if (InterpreterExit::Parks()) throw InterpreterExit{};
        try {
            state_ = PyGILState_Ensure();
        } catch (...) {  // only a forced unwind can come out of the C call above
            InterpreterExit::Park();
        }
    }
    ~Locked() { PyGILState_Release(state_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    PyGILState_STATE state_;
};

// Runs one whole exchange (a request and its reply, or one handle message)
// with the interpreter lock given away and the stream's lock held, so that
// no other thread's bytes come between request and reply, and close() or
// reopen() from another thread waits until the exchange ends. The stream
// lock is let go before the interpreter lock is taken back.
// While a servo loop drives a stream, the module keeps every other call
// off it with RuntimeError (the loop's exchanges hold the stream's lock, so
// even a call that slipped past would only come between two ticks).
void RefuseIfDriven(const API::IO::SerialStream& stream);

template <typename Io>
auto Exclusively(API::IO::SerialStream& stream, Io&& io) {
    RefuseIfDriven(stream);
    Unlocked unlocked;
    std::lock_guard<std::recursive_mutex> lock(stream.Mutex());
    return io();
}

// The same for calls that keep the interpreter lock while they talk to the
// device. Waiting for a stream that another thread holds happens without
// it: that thread may need it (a handle callback) before it lets go.
template <typename Io>
auto ExclusivelyLocked(API::IO::SerialStream& stream, Io&& io) {
    RefuseIfDriven(stream);
    std::unique_lock<std::recursive_mutex> lock(stream.Mutex(), std::try_to_lock);
    if (!lock.owns_lock()) {
        Unlocked unlocked(&lock);
        lock.lock();
    }
    return io();
}

// A port path as the library takes it, a C string. A NUL byte would silently
// cut the path short and name another device: refused as Python's open() does.
inline const char* PortPath(const std::string& port) {
    if (port.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return port.c_str();
}

// A standard-library uuid.UUID with the identifier's bytes in storage order.
// Needs the interpreter lock; raises what the uuid module raises.
py::object MakePythonUuid(const API::UUID& id);

// An argument that must be a bound object whose __init__ has run; anything
// else (None, another type, an object made with Cls.__new__) is refused with
// TypeError before the call. Used where a device borrows another object.
template <typename T>
struct Constructed {
    T* object = nullptr;
    T& operator*() const { return *object; }
    T* get() const { return object; }
};

namespace pybind11::detail {

// An object made with Cls.__new__(Cls), or a subclass instance whose __init__
// uses self before the base __init__ ran, holds no C++ object: pybind11 would
// hand the method freshly allocated, unconstructed memory. This caster checks
// the holder first and refuses such an object without allocating anything:
// as self with RuntimeError, as another argument (AsArgument) with TypeError.
template <typename T, bool AsArgument = false>
class initialised_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) { return this->template load_impl<initialised_caster>(src, convert); }

    // Called by load_impl for every instance it accepts.
    void load_value(value_and_holder&& v_h) {
        if (!v_h.holder_constructed()) {
            // v_h.type is null for an exact type match; typeinfo is T's.
            const auto* bound = v_h.type ? v_h.type : this->typeinfo;
            const std::string text = std::string(bound->type->tp_name) + ".__init__() was never called on this " +
                                     Py_TYPE(v_h.inst)->tp_name + " object";
            if (AsArgument) throw type_error(text);
            throw std::runtime_error(text);
        }
        type_caster_base<T>::load_value(std::move(v_h));
    }
};

// Every bound class with members goes through the check, as self and as a
// plain reference or pointer argument.
template <>
class type_caster<API::IO::SerialStream> : public initialised_caster<API::IO::SerialStream> {};
template <>
class type_caster<API::Devices::Triaxon> : public initialised_caster<API::Devices::Triaxon> {};
template <>
class type_caster<API::Devices::Handle> : public initialised_caster<API::Devices::Handle> {};
template <>
class type_caster<API::UUID> : public initialised_caster<API::UUID> {};

template <typename T>
class type_caster<Constructed<T>> {
public:
    // The signature shows the wrapped class, as for a plain reference.
    static constexpr auto name = const_name<T>();

    bool load(handle src, bool convert) {
        if (!inner.load(src, convert)) return false;
        value.object = static_cast<T*>(inner.value);
        return value.object != nullptr;  // None
    }

    template <typename>
    using cast_op_type = Constructed<T>;
    operator Constructed<T>() const { return value; }

private:
    initialised_caster<T, true> inner;
    Constructed<T> value;
};

}  // namespace pybind11::detail
