#include "Bindings.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "TessaryHardwareAPI/Effect.h"
#include "TessaryHardwareAPI/ServoLoop.h"

namespace {

using API::Effect;
using API::ServoLoop;
using API::ServoOptions;
using API::ServoSample;
using API::ServoState;
using API::Vector3;
using API::Devices::Triaxon;
using API::IO::LinkState;
using API::IO::SerialStream;

class PyServoLoop;

// An effect as Python holds it: the library's effect, which checks every
// value, and the loop it is in (if any), which hands every change over to
// the servo thread whole.
struct PyEffect {
    explicit PyEffect(const Effect& e) : effect(e) {}
    // Polymorphic, so that pybind11 hands back the very Python object (a
    // Spring, a Plane...) for a pointer to the base.
    virtual ~PyEffect() = default;
    template <typename Kind>
    Kind& Parameters() {
        return *effect.As<Kind>();
    }
    template <typename Kind>
    const Kind& Parameters() const {
        return *effect.As<Kind>();
    }
    // A change renews the effect's lifetime and reaches a running loop.
    void Changed();

    Effect effect;
    PyServoLoop* loop = nullptr;
};

// One Python class per kind, so that each has the parameters it names.
template <typename Kind>
struct PyKind : PyEffect {
    using PyEffect::PyEffect;
};

}  // namespace

namespace pybind11::detail {

// Objects whose __init__ never ran (made with Cls.__new__) are refused, as
// the other classes' are.
template <typename T>
class type_caster<T, std::enable_if_t<std::is_base_of_v<PyEffect, T>>> : public initialised_caster<T> {};
template <>
class type_caster<PyServoLoop> : public initialised_caster<PyServoLoop> {};

}  // namespace pybind11::detail

namespace {

// "any sequence of 3 numbers": a list, a tuple or a numpy array. The
// library checks the numbers themselves.
Vector3 ToVector(const std::vector<double>& values, const char* name) {
    if (values.size() != 3) {
        throw py::value_error(std::string(name) + " must hold 3 numbers, got " + std::to_string(values.size()));
    }
    return {values[0], values[1], values[2]};
}

py::tuple FromVector(const Vector3& v) { return py::make_tuple(v[0], v[1], v[2]); }

// Numbers in a repr as Python writes them (100.0, 0.25).
std::string Number(double value) { return py::repr(py::float_(value)).cast<std::string>(); }

std::string Text(const Vector3& v) {
    std::ostringstream out;
    out << "(" << v[0] << ", " << v[1] << ", " << v[2] << ")";
    return out.str();
}

// Every live loop, so that interpreter exit and a stream's with block can
// stop those still running (and send their zero force). A loop leaves it
// first thing when it is collected, under the interpreter lock.
std::set<PyServoLoop*>& LiveLoops() {
    static auto* loops = new std::set<PyServoLoop*>;
    return *loops;
}

// Held for the life of the process (a py::object would be released after
// the interpreter is gone).
py::handle servo_states[5];
py::handle latest_state;  // the namedtuple class of latest()

class PyServoLoop {
public:
    PyServoLoop(Constructed<Triaxon> arm, const ServoOptions& options)
        : loop_(*arm, options), arm_(py::cast(arm.get(), py::return_value_policy::reference)) {
        LiveLoops().insert(this);
    }
    ~PyServoLoop() {
        LiveLoops().erase(this);
        for (const auto& effect : effects_) effect->loop = nullptr;
        StopThread();
    }

    // Holds the interpreter lock throughout, as the exit hook does: a start
    // either comes before the hook, which then stops the loop, or sees that
    // exit has begun.
    void Start() {
        if (InterpreterExit::Begun()) {
            throw std::runtime_error("the interpreter is exiting: a ServoLoop cannot start now");
        }
        RaisePending();
        if (!loop_.Start()) {
            const ServoState state = loop_.State();
            if (state == ServoState::Running) throw std::runtime_error("the ServoLoop is running already");
            if (state == ServoState::Stopping) throw std::runtime_error("the ServoLoop is stopping");
            const auto& stream = *loop_.Arm().stream;
            if (stream.Owner() != nullptr) throw std::runtime_error("another ServoLoop drives this arm's stream");
            throw std::runtime_error("the arm's stream is not open and good: its state is " +
                                     py::str(py::cast(stream).attr("state")).cast<std::string>());
        }
        // A new run: its own failure, raised once.
        raised_ = false;
        error_ = py::object();
        const API::ServoStats stats = loop_.Stats();
        if (loop_.Options().realtime && !stats.realtime) {
            Warn("real-time scheduling (SCHED_FIFO, priority " + std::to_string(loop_.Options().priority) +
                 ") was refused: " + ErrorText(stats.realtime_error) +
                 "; the loop runs at normal priority (see ulimit -r and docs/troubleshooting.md)");
        }
        if (stats.cpu_error != 0) {
            Warn("pinning the servo thread to CPU " + std::to_string(loop_.Options().cpu) +
                 " was refused: " + ErrorText(stats.cpu_error));
        }
    }

    void Stop() {
        StopThread();
        RaisePending();
    }

    void Exit(const py::object& exc_type) {
        StopThread();
        // An exception on its way out of the block wins over the loop's.
        if (exc_type.is_none()) RaisePending();
    }

    py::object Add(const std::shared_ptr<PyEffect>& effect) {
        RaisePending();
        if (effect->loop == this) throw py::value_error("the effect is in this loop already");
        if (effect->loop != nullptr) throw py::value_error("the effect is in another loop; remove it there first");
        if (effects_.size() >= ServoLoop::kMaxEffects) {
            throw py::value_error("a loop holds at most " + std::to_string(ServoLoop::kMaxEffects) + " effects");
        }
        effects_.push_back(effect);
        effect->loop = this;
        effect->Changed();
        return py::cast(effect);
    }

    void Remove(const std::shared_ptr<PyEffect>& effect) {
        RaisePending();
        const auto found = std::find(effects_.begin(), effects_.end(), effect);
        if (found == effects_.end()) throw py::value_error("the effect is not in this loop");
        effects_.erase(found);
        effect->loop = nullptr;
        Publish();
    }

    void Publish() {
        Effect set[ServoLoop::kMaxEffects];
        for (std::size_t i = 0; i < effects_.size(); ++i) set[i] = effects_[i]->effect;
        loop_.SetEffects(set, effects_.size());
    }

    py::tuple Effects() const {
        py::tuple result(effects_.size());
        for (std::size_t i = 0; i < effects_.size(); ++i) result[i] = py::cast(effects_[i]);
        return result;
    }

    // Everything recorded since the last call, as one numpy structured array;
    // no Python work per sample.
    py::object Samples() {
        RaisePending();
        const py::module_ numpy = py::module_::import("numpy");
        const std::size_t count = loop_.Pending();
        py::object array = numpy.attr("empty")(count, SampleType(numpy));
        if (count == 0) return array;
        py::buffer_info buffer = py::reinterpret_borrow<py::buffer>(array).request(true);
        const std::size_t got = loop_.Drain(static_cast<ServoSample*>(buffer.ptr), count);
        return got == count ? array : array[py::slice(0, static_cast<py::ssize_t>(got), 1)];
    }

    py::object Latest() {
        RaisePending();
        ServoSample sample;
        if (!loop_.Latest(sample)) return py::none();
        auto vector = [](const double* v) { return py::make_tuple(v[0], v[1], v[2]); };
        return latest_state(vector(sample.position), vector(sample.velocity), vector(sample.force), sample.t);
    }

    py::dict Stats() {
        RaisePending();
        const API::ServoStats stats = loop_.Stats();
        py::dict result;
        result["ticks"] = stats.ticks;
        result["overruns"] = stats.overruns;
        result["dropped"] = stats.dropped;
        result["rate"] = stats.rate;
        result["period_p50"] = stats.period_p50;
        result["period_p99"] = stats.period_p99;
        result["period_max"] = stats.period_max;
        result["realtime"] = stats.realtime;
        result["realtime_error"] = stats.realtime_error ? py::object(py::str(ErrorText(stats.realtime_error)))
                                                        : py::object(py::none());
        return result;
    }

    ServoState State() const { return loop_.State(); }
    bool Running() const { return loop_.Running(); }
    const ServoOptions& Options() const { return loop_.Options(); }
    double Timeout() const { return loop_.Timeout(); }
    const py::object& Arm() const { return arm_; }
    bool Drives(const SerialStream& stream) const { return loop_.Arm().stream == &stream; }

    // The failure as the exception it raises: its errno picks the OSError
    // subclass (TimeoutError for a time-out).
    py::object Error() {
        if (loop_.State() != ServoState::Failed) return py::none();
        if (!error_) {
            const API::ServoFailure failure = loop_.Failure();
            int error = failure.error;
            std::string what;
            switch (failure.link) {
                case LinkState::TimedOut:
                    error = ETIMEDOUT;
                    what = "no reply from the arm within " + Milliseconds(Timeout());
                    break;
                case LinkState::HungUp:
                    what = "the arm hung up";
                    break;
                case LinkState::Closed:
                    error = ECONNABORTED;
                    what = "the arm's port was closed";
                    break;
                default:
                    what = "an exchange with the arm failed (" + ErrorText(error) + ")";
                    break;
            }
            error_ = py::reinterpret_borrow<py::object>(PyExc_OSError)(error, what + "; the servo loop stopped");
        }
        return error_;
    }

    // Joins the servo thread (which sends the zero force) without the
    // interpreter lock, so that other Python threads run meanwhile. Any
    // number of threads may be in here at once.
    void StopThread() {
        Unlocked unlocked;
        loop_.Stop();
    }

    // Strong references to the live loops, so that none is freed while it
    // is being stopped without the interpreter lock.
    static std::vector<py::object> Held() {
        std::vector<py::object> held;
        for (PyServoLoop* loop : LiveLoops()) held.push_back(py::cast(loop, py::return_value_policy::reference));
        return held;
    }

private:
    // A failure is raised once, by the first call after it.
    void RaisePending() {
        if (raised_ || loop_.State() != ServoState::Failed) return;
        raised_ = true;
        const py::object error = Error();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }

    static std::string ErrorText(int error) { return "[Errno " + std::to_string(error) + "] " + std::strerror(error); }
    static std::string Milliseconds(double seconds) {
        std::ostringstream out;
        out << seconds * 1000.0 << " ms";
        return out.str();
    }
    static void Warn(const std::string& text) {
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 2) < 0) throw py::error_already_set();
    }
    // ServoSample's layout: packed doubles.
    static py::object SampleType(const py::module_& numpy) {
        const auto triple = py::make_tuple(3);
        py::list fields;
        fields.append(py::make_tuple("t", "<f8"));
        fields.append(py::make_tuple("period", "<f8"));
        for (const char* name : {"position", "velocity", "force"}) fields.append(py::make_tuple(name, "<f8", triple));
        return numpy.attr("dtype")(fields);
    }

    ServoLoop loop_;
    py::object arm_;  // the loop drives it: it, and through it its stream, live as long as the loop
    std::vector<std::shared_ptr<PyEffect>> effects_;
    py::object error_;
    bool raised_ = false;
};

void PyEffect::Changed() {
    effect.Renew();
    if (loop != nullptr) loop->Publish();
}

// Interpreter exit: no running loop outlives the interpreter, and each sends
// its zero force.
void StopEveryLoop() {
    for (const py::object& loop : PyServoLoop::Held()) loop.cast<PyServoLoop&>().StopThread();
}

// A parameter of one kind of effect, read and set through the library's
// getter and setter (which checks it); setting it reaches a running loop
// whole. Vectors come from any sequence of 3 numbers and read as tuples.
template <typename Kind, typename Class, typename Value>
void Parameter(Class& cls, const char* name, Value (Kind::*get)() const, void (Kind::*set)(Value), const char* doc) {
    using Object = typename Class::type;
    using Plain = std::decay_t<Value>;
    if constexpr (std::is_same_v<Plain, Vector3>) {
        cls.def_property(
            name, [get](const Object& e) { return FromVector((e.template Parameters<Kind>().*get)()); },
            [set, name](Object& e, const std::vector<double>& value) {
                (e.template Parameters<Kind>().*set)(ToVector(value, name));
                e.Changed();
            },
            doc);
    } else {
        cls.def_property(
            name, [get](const Object& e) { return (e.template Parameters<Kind>().*get)(); },
            [set](Object& e, Plain value) {
                (e.template Parameters<Kind>().*set)(value);
                e.Changed();
            },
            doc);
    }
}

// The effect with its lifetime (None: never expires).
template <typename Kind>
std::shared_ptr<PyKind<Kind>> Made(const Kind& kind, std::optional<double> lifetime) {
    Effect effect(kind);
    if (lifetime) {
        if (*lifetime == 0.0) throw py::value_error("lifetime must be above 0, or None");
        effect.SetLifetime(*lifetime);
    }
    return std::make_shared<PyKind<Kind>>(effect);
}

// What every repr ends with: the lifetime, when there is one.
std::string Lifetime(const PyEffect& e) {
    return e.effect.Lifetime() > 0.0 ? ", lifetime=" + Number(e.effect.Lifetime()) : "";
}

template <typename Kind>
using EffectClass = py::class_<PyKind<Kind>, PyEffect, std::shared_ptr<PyKind<Kind>>>;

}  // namespace

void StopLoopDriving(const SerialStream& stream) {
    if (stream.Owner() == nullptr) return;
    for (const py::object& held : PyServoLoop::Held()) {
        auto& loop = held.cast<PyServoLoop&>();
        if (loop.Drives(stream)) loop.StopThread();
    }
}

void RegisterServoLoop(py::module_& m) {
    using API::Box;
    using API::ConstantForce;
    using API::Damper;
    using API::Plane;
    using API::Sphere;
    using API::Spring;
    using py::arg;

    py::enum_<ServoState> states(m, "ServoState",
                                 "Where a ServoLoop is: not started, running, stopping, stopped or failed.");
    states.value("IDLE", ServoState::Idle, "Made, not started yet.")
        .value("RUNNING", ServoState::Running, "The servo thread is running.")
        .value("STOPPED", ServoState::Stopped, "Stopped; zero force was sent.")
        .value("FAILED", ServoState::Failed,
               "The arm stopped answering or the line failed; zero force was sent if the line took it.")
        .value("STOPPING", ServoState::Stopping, "A stop was asked for; the zero force is on its way.");
    for (const char* name : {"IDLE", "RUNNING", "STOPPED", "FAILED", "STOPPING"}) {
        const py::handle member = states.attr(name);
        servo_states[member.attr("value").cast<int>()] = member;
    }
    // Its members are the only ServoState objects there are.
    py::delattr(states, "__init__");
    InitOnce(states, +[](int value) -> ServoState {
        if (value < 0 || value > 4) throw py::value_error("not a ServoState: " + std::to_string(value));
        return static_cast<ServoState>(value);
    }, arg("value"));

    auto collections = py::module_::import("collections");
    latest_state = collections.attr("namedtuple")("LatestState", py::make_tuple("position", "velocity", "force", "time"))
                       .release();
    latest_state.attr("__module__") = m.attr("__name__");
    latest_state.attr("__doc__") =
        "The newest tick of a ServoLoop: position, velocity and the force sent (3-tuples of floats) and its time "
        "(seconds since the loop started).";
    m.attr("LatestState") = latest_state;

    py::class_<PyEffect, std::shared_ptr<PyEffect>> effect(
        m, "Effect",
        "A force effect a ServoLoop renders; see its subclasses. Every value is checked where it is set "
        "(ValueError). With a lifetime, the effect gives no force once that many seconds have passed since it was "
        "made, added to a loop, changed or renewed; the servo thread sees to it.");
    effect
        .def_property(
            "lifetime",
            [](const PyEffect& e) -> std::optional<double> {
                if (e.effect.Lifetime() > 0.0) return e.effect.Lifetime();
                return std::nullopt;
            },
            [](PyEffect& e, std::optional<double> lifetime) {
                if (lifetime && *lifetime == 0.0) throw py::value_error("lifetime must be above 0, or None");
                e.effect.SetLifetime(lifetime.value_or(0.0));
                e.Changed();
            },
            "Seconds the effect lasts without a change or renew(); None: for ever.")
        .def("renew", &PyEffect::Changed, "Start the effect's lifetime anew, as a change would.")
        .def_property_readonly(
            "expired", [](const PyEffect& e) { return e.effect.Expired(); },
            "True once the lifetime has run out without a change or renew().");

    EffectClass<ConstantForce> constant(m, "ConstantForce", "The same force at every tick.");
    InitOnce(constant, +[](const std::vector<double>& force, std::optional<double> lifetime) {
                     return Made(ConstantForce(ToVector(force, "force")), lifetime);
                 },
                 arg("force"), py::kw_only(), arg("lifetime") = py::none());
    Parameter(constant, "force", &ConstantForce::Force, &ConstantForce::SetForce, "The force, 3 numbers.");
    constant.def("__repr__", [](const PyKind<ConstantForce>& e) {
        return "ConstantForce(force=" + Text(e.Parameters<ConstantForce>().Force()) + Lifetime(e) + ")";
    });

    EffectClass<Spring> spring(m, "Spring",
                               "Pulls towards anchor: stiffness * (anchor - position) - damping * velocity.");
    InitOnce(spring, +[](const std::vector<double>& anchor, double stiffness, double damping,
                           std::optional<double> lifetime) {
                   return Made(Spring(ToVector(anchor, "anchor"), stiffness, damping), lifetime);
               },
               arg("anchor"), arg("stiffness"), arg("damping") = 0.0, py::kw_only(), arg("lifetime") = py::none());
    Parameter(spring, "anchor", &Spring::Anchor, &Spring::SetAnchor, "Where it pulls to, 3 numbers.");
    Parameter(spring, "stiffness", &Spring::Stiffness, &Spring::SetStiffness, "Force per unit of distance.");
    Parameter(spring, "damping", &Spring::Damping, &Spring::SetDamping, "Force per unit of velocity.");
    spring.def("__repr__", [](const PyKind<Spring>& e) {
        const Spring& s = e.Parameters<Spring>();
        return "Spring(anchor=" + Text(s.Anchor()) + ", stiffness=" + Number(s.Stiffness()) +
               ", damping=" + Number(s.Damping()) + Lifetime(e) + ")";
    });

    EffectClass<Damper> damper(m, "Damper", "Resists motion: -damping * velocity.");
    InitOnce(damper, +[](double damping, std::optional<double> lifetime) { return Made(Damper(damping), lifetime); },
               arg("damping"), py::kw_only(), arg("lifetime") = py::none());
    Parameter(damper, "damping", &Damper::Damping, &Damper::SetDamping, "Force per unit of velocity.");
    damper.def("__repr__", [](const PyKind<Damper>& e) {
        return "Damper(damping=" + Number(e.Parameters<Damper>().Damping()) + Lifetime(e) + ")";
    });

    EffectClass<Plane> plane(
        m, "Plane",
        "A one-sided wall through point; normal points to the free side. Past the plane it pushes back along "
        "the normal with stiffness * depth - damping * (velocity . normal), never pulling.");
    InitOnce(plane, +[](const std::vector<double>& point, const std::vector<double>& normal, double stiffness,
                          double damping, std::optional<double> lifetime) {
                  return Made(Plane(ToVector(point, "point"), ToVector(normal, "normal"), stiffness, damping),
                              lifetime);
              },
              arg("point"), arg("normal"), arg("stiffness"), arg("damping") = 0.0, py::kw_only(),
              arg("lifetime") = py::none());
    Parameter(plane, "point", &Plane::Point, &Plane::SetPoint, "A point of the plane, 3 numbers.");
    Parameter(plane, "normal", &Plane::Normal, &Plane::SetNormal, "The direction of the free side, kept at unit length.");
    Parameter(plane, "stiffness", &Plane::Stiffness, &Plane::SetStiffness, "Force per unit of depth.");
    Parameter(plane, "damping", &Plane::Damping, &Plane::SetDamping, "Force per unit of velocity into the wall.");
    plane.def("__repr__", [](const PyKind<Plane>& e) {
        const Plane& p = e.Parameters<Plane>();
        return "Plane(point=" + Text(p.Point()) + ", normal=" + Text(p.Normal()) +
               ", stiffness=" + Number(p.Stiffness()) + ", damping=" + Number(p.Damping()) + Lifetime(e) + ")";
    });

    EffectClass<Sphere> sphere(
        m, "Sphere",
        "inside=True keeps the end effector within the ball; inside=False makes the ball solid. Pushes with "
        "stiffness * distance past the surface, along the radius.");
    InitOnce(sphere, +[](const std::vector<double>& center, double radius, double stiffness, bool inside,
                           std::optional<double> lifetime) {
                   return Made(Sphere(ToVector(center, "center"), radius, stiffness, inside), lifetime);
               },
               arg("center"), arg("radius"), arg("stiffness"), arg("inside") = true, py::kw_only(),
               arg("lifetime") = py::none());
    Parameter(sphere, "center", &Sphere::Center, &Sphere::SetCenter, "The ball's centre, 3 numbers.");
    Parameter(sphere, "radius", &Sphere::Radius, &Sphere::SetRadius, "The ball's radius.");
    Parameter(sphere, "stiffness", &Sphere::Stiffness, &Sphere::SetStiffness,
              "Force per unit of distance past the surface.");
    Parameter(sphere, "inside", &Sphere::Inside, &Sphere::SetInside, "True: keep the end effector inside; False: keep it out.");
    sphere.def("__repr__", [](const PyKind<Sphere>& e) {
        const Sphere& s = e.Parameters<Sphere>();
        return "Sphere(center=" + Text(s.Center()) + ", radius=" + Number(s.Radius()) +
               ", stiffness=" + Number(s.Stiffness()) + ", inside=" + (s.Inside() ? "True" : "False") + Lifetime(e) +
               ")";
    });

    EffectClass<Box> box(
        m, "Box", "Keeps the end effector within the box, each axis on its own: stiffness * distance past a face.");
    InitOnce(box, +[](const std::vector<double>& lower, const std::vector<double>& upper, double stiffness,
                        std::optional<double> lifetime) {
                return Made(Box(ToVector(lower, "lower"), ToVector(upper, "upper"), stiffness), lifetime);
            },
            arg("lower"), arg("upper"), arg("stiffness"), py::kw_only(), arg("lifetime") = py::none());
    Parameter(box, "lower", &Box::Lower, &Box::SetLower,
              "The corner with the smallest coordinates, 3 numbers; at or below upper on every axis.");
    Parameter(box, "upper", &Box::Upper, &Box::SetUpper,
              "The corner with the largest coordinates, 3 numbers; at or above lower on every axis.");
    Parameter(box, "stiffness", &Box::Stiffness, &Box::SetStiffness, "Force per unit of distance past a face.");
    box.def("__repr__", [](const PyKind<Box>& e) {
        const Box& b = e.Parameters<Box>();
        return "Box(lower=" + Text(b.Lower()) + ", upper=" + Text(b.Upper()) + ", stiffness=" + Number(b.Stiffness()) +
               Lifetime(e) + ")";
    });

    py::class_<PyServoLoop> servo(m, "ServoLoop",
                                  "Drives one Triaxon on a native thread at a fixed rate, rendering force effects.");
    InitOnce(
        servo,
        +[](Constructed<Triaxon> arm, double rate, double max_force, std::optional<double> timeout, bool realtime,
            int priority, std::optional<int> cpu, std::size_t samples) {
            ServoOptions options;
            options.rate = rate;
            options.max_force = max_force;
            options.timeout = timeout.value_or(0.0);
            if (timeout && *timeout <= 0.0) throw py::value_error("timeout must be above 0, or None");
            options.realtime = realtime;
            options.priority = priority;
            options.cpu = cpu.value_or(-1);
            options.samples = samples;
            return std::make_unique<PyServoLoop>(arm, options);
        },
        arg("arm"), py::kw_only(), arg("rate") = 1000.0, arg("max_force") = 10.0, arg("timeout") = py::none(),
        arg("realtime") = false, arg("priority") = 80, arg("cpu") = py::none(), arg("samples") = 65536);
    servo.def("start", &PyServoLoop::Start, "Start the servo thread.")
        .def("stop", &PyServoLoop::Stop,
             "Stop the servo thread, which sends zero force; idempotent, and safe from any number of threads.")
        .def("add", &PyServoLoop::Add, arg("effect"), "Add an effect (applied at the next tick); returns it.")
        .def("remove", &PyServoLoop::Remove, arg("effect"), "Take an effect out (applied at the next tick).")
        .def("samples", &PyServoLoop::Samples, "Every tick recorded since the last call, as a numpy array.")
        .def("latest", &PyServoLoop::Latest, "The newest tick as a LatestState, or None before the first one.")
        .def("stats", &PyServoLoop::Stats, "Tick counts, the rate reached and period percentiles, as a dict.")
        .def_property_readonly("running", &PyServoLoop::Running, "True while the servo thread runs.")
        .def_property_readonly(
            "state",
            [](const PyServoLoop& loop) {
                return py::reinterpret_borrow<py::object>(servo_states[static_cast<int>(loop.State())]);
            },
            "A ServoState.")
        .def_property_readonly("error", &PyServoLoop::Error, "Why the loop failed, as an OSError; None if it did not.")
        .def_property_readonly("effects", &PyServoLoop::Effects, "The effects in the loop, in the order added.")
        .def_property_readonly("arm", &PyServoLoop::Arm, "The Triaxon the loop drives.")
        .def_property_readonly("rate", [](const PyServoLoop& loop) { return loop.Options().rate; }, "Ticks a second.")
        .def_property_readonly(
            "max_force", [](const PyServoLoop& loop) { return loop.Options().max_force; },
            "The largest force magnitude ever sent.")
        .def_property_readonly("timeout", &PyServoLoop::Timeout, "Seconds a reply may be missing before the loop fails.")
        .def(
            "__enter__",
            [](PyServoLoop& loop) -> PyServoLoop& {
                loop.Start();
                return loop;
            },
            py::return_value_policy::reference, "Start the loop; return it.")
        .def(
            "__exit__",
            [](PyServoLoop& loop, const py::object& exc_type, const py::object&, const py::object&) {
                loop.Exit(exc_type);
            },
            "Stop the loop (zero force); its failure is raised unless another exception is on its way.");

    InterpreterExit::AtExit(&StopEveryLoop);
}
