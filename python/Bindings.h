#pragma once

#include <pybind11/pybind11.h>

#include <mutex>
#include <stdexcept>
#include <string>

#include "TessaryHardwareAPI/Handle.h"
#include "TessaryHardwareAPI/SerialStream.h"
#include "TessaryHardwareAPI/ServoLoop.h"
#include "TessaryHardwareAPI/Triaxon.h"
#include "TessaryHardwareAPI/UUID.h"

#include "InterpreterExit.h"

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

// Runs one whole exchange (a request and its reply, or one handle message)
// with the interpreter lock given away and the stream's lock held, so that
// no other thread's bytes come between request and reply, and close() or
// reopen() from another thread waits until the exchange ends. The stream
// lock is let go before the interpreter lock is taken back.
// While a servo loop drives a stream, the module keeps every other call
// off it with RuntimeError (the loop's exchanges hold the stream's lock, so
// even a call that slipped past would only come between two ticks).
void RefuseIfDriven(const API::IO::SerialStream& stream);
// Stops the servo loop that drives the stream, if one does (its zero force
// sent), so that the stream can be closed under no running loop.
void StopLoopDriving(const API::IO::SerialStream& stream);

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

// The self of InitOnce's __init__: any instance of T's Python type, whether
// or not its C++ object exists yet. Shown in signatures as T.
template <typename T>
struct Self {
    py::handle object;
};

// py::init(factory) for a class whose __init__ must run once. pybind11
// ignores a second call on a constructed object without a word, so a script
// that meant to rebuild the object (a loop with other options, an effect
// with other values) would go on with the old one; here it is refused with
// RuntimeError. A plain method, so that the call reaches it; it does what
// pybind11's constructor dispatch does. The factory is a function pointer
// (+[](...){...}).
template <typename Class, typename Return, typename... Args, typename... Extra>
void InitOnce(Class& cls, Return (*factory)(Args...), const Extra&... extra) {
    using T = typename Class::type;
    cls.def(
        "__init__",
        [factory](Self<T> self, Args... args) {
            auto* const type = py::detail::get_type_info(typeid(T));
            auto* const instance = reinterpret_cast<py::detail::instance*>(self.object.ptr());
            py::detail::value_and_holder v_h = instance->get_value_and_holder(type, true);
            if (v_h.holder_constructed()) {
                throw std::runtime_error(std::string(type->type->tp_name) + ".__init__() was already called on this " +
                                         Py_TYPE(self.object.ptr())->tp_name + " object");
            }
            py::detail::initimpl::construct<Class>(v_h, factory(std::forward<Args>(args)...),
                                                   Py_TYPE(self.object.ptr()) != type->type);
            if (!v_h.holder_constructed()) v_h.type->init_instance(instance, nullptr);
        },
        extra...);
    // pybind11 takes any function named __init__ for a constructor, and so
    // answers a second call itself; as a plain method, the call is ours.
    const py::handle function = py::detail::get_function(cls.attr("__init__"));
    auto capsule = py::reinterpret_borrow<py::capsule>(PyCFunction_GET_SELF(function.ptr()));
    capsule.get_pointer<py::detail::function_record>()->is_constructor = false;
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
template <>
class type_caster<API::IO::LinkState> : public initialised_caster<API::IO::LinkState> {};
template <>
class type_caster<API::ServoState> : public initialised_caster<API::ServoState> {};

template <typename T>
class type_caster<Self<T>> {
public:
    static constexpr auto name = const_name<T>();
    bool load(handle src, bool) {
        const auto* type = get_type_info(typeid(T));
        if (type == nullptr || !PyObject_TypeCheck(src.ptr(), type->type)) return false;
        value.object = src;
        return true;
    }
    template <typename>
    using cast_op_type = Self<T>;
    operator Self<T>() const { return value; }

private:
    Self<T> value;
};

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
