#include "Bindings.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

class PyServoLoop;

// An effect as Python holds it: its parameters, and the loop it is in (if
// any), which hands every change over to the servo thread whole.
struct PyEffect {
    // Polymorphic, so that pybind11 hands back the very Python object (a
    // Spring, a Plane...) for a pointer to the base.
    virtual ~PyEffect() = default;
    Effect effect;
    PyServoLoop* loop = nullptr;
    void Changed();
};

// One Python class per kind, so that each has the parameters it names.
struct PyConstantForce : PyEffect {};
struct PySpring : PyEffect {};
struct PyDamper : PyEffect {};
struct PyPlane : PyEffect {};
struct PySphere : PyEffect {};
struct PyBox : PyEffect {};

// "any sequence of 3 numbers": a list, a tuple or a numpy array.
Vector3 ToVector(const std::vector<double>& values, const char* name) {
    if (values.size() != 3) {
        throw py::value_error(std::string(name) + " must hold 3 numbers, got " + std::to_string(values.size()));
    }
    for (double v : values) {
        if (!std::isfinite(v)) throw py::value_error(std::string(name) + " must be finite");
    }
    return {values[0], values[1], values[2]};
}

py::tuple FromVector(const Vector3& v) { return py::make_tuple(v[0], v[1], v[2]); }

// Stiffness, damping and radius: a negative one would push the arm away
// from where it should go, or never stop it.
double Amount(double value, const char* name) {
    if (!std::isfinite(value) || value < 0.0) {
        throw py::value_error(std::string(name) + " must be finite and not negative, got " + std::to_string(value));
    }
    return value;
}

// Numbers in a repr as Python writes them (100.0, 0.25).
std::string Number(double value) { return py::repr(py::float_(value)).cast<std::string>(); }

std::string Text(const Vector3& v) {
    std::ostringstream out;
    out << "(" << v[0] << ", " << v[1] << ", " << v[2] << ")";
    return out.str();
}

// Every live loop, so that interpreter exit can stop those still running
// (and send their zero force) before the process goes.
std::set<PyServoLoop*>& LiveLoops() {
    static auto* loops = new std::set<PyServoLoop*>;
    return *loops;
}

// Held for the life of the process (a py::object would be released after
// the interpreter is gone).
py::handle servo_states[4];
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

    void Start() {
        RaisePending();
        if (loop_.Running()) throw std::runtime_error("the ServoLoop is running already");
        if (!loop_.Start()) {
            const auto& stream = *loop_.Arm().stream;
            if (stream.Owner() != nullptr) throw std::runtime_error("another ServoLoop drives this arm's stream");
            throw std::runtime_error("the arm's stream is not open and good: its state is " +
                                     py::str(py::cast(stream).attr("state")).cast<std::string>());
        }
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
        Publish();
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
    double Timeout() const { return Options().timeout > 0.0 ? Options().timeout : 10.0 / Options().rate; }
    const py::object& Arm() const { return arm_; }

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
    // interpreter lock, so that other Python threads run meanwhile.
    void StopThread() {
        Unlocked unlocked;
        loop_.Stop();
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
    if (loop != nullptr) loop->Publish();
}

// A vector parameter of an effect; setting it reaches a running loop whole.
template <typename Class>
void VectorParameter(Class& cls, const char* name, Vector3 Effect::*field, const char* doc) {
    using Object = typename Class::type;
    cls.def_property(
        name, [field](const Object& e) { return FromVector(e.effect.*field); },
        [field, name](Object& e, const std::vector<double>& value) {
            e.effect.*field = ToVector(value, name);
            e.Changed();
        },
        doc);
}

template <typename Class>
void AmountParameter(Class& cls, const char* name, double Effect::*field, const char* doc) {
    using Object = typename Class::type;
    cls.def_property(
        name, [field](const Object& e) { return e.effect.*field; },
        [field, name](Object& e, double value) {
            e.effect.*field = Amount(value, name);
            e.Changed();
        },
        doc);
}

template <typename T>
std::shared_ptr<T> Made(const Effect& effect) {
    auto made = std::make_shared<T>();
    made->effect = effect;
    return made;
}

}  // namespace

void RegisterServoLoop(py::module_& m) {
    using py::arg;

    py::enum_<ServoState> states(m, "ServoState", "Where a ServoLoop is: not started, running, stopped or failed.");
    states.value("IDLE", ServoState::Idle, "Made, not started yet.")
        .value("RUNNING", ServoState::Running, "The servo thread is running.")
        .value("STOPPED", ServoState::Stopped, "Stopped; zero force was sent.")
        .value("FAILED", ServoState::Failed,
               "The arm stopped answering or the line failed; zero force was sent if the line took it.");
    for (const char* name : {"IDLE", "RUNNING", "STOPPED", "FAILED"}) {
        const py::handle member = states.attr(name);
        servo_states[member.attr("value").cast<int>()] = member;
    }

    auto collections = py::module_::import("collections");
    latest_state = collections.attr("namedtuple")("LatestState", py::make_tuple("position", "velocity", "force", "time"))
                       .release();
    latest_state.attr("__module__") = m.attr("__name__");
    latest_state.attr("__doc__") =
        "The newest tick of a ServoLoop: position, velocity and the force sent (3-tuples of floats) and its time "
        "(seconds since the loop started).";
    m.attr("LatestState") = latest_state;

    py::class_<PyEffect, std::shared_ptr<PyEffect>> effect(m, "Effect",
                                                            "A force effect a ServoLoop renders; see its subclasses.");

    py::class_<PyConstantForce, PyEffect, std::shared_ptr<PyConstantForce>> constant(
        m, "ConstantForce", "The same force at every tick.");
    constant.def(py::init([](const std::vector<double>& force) {
                     return Made<PyConstantForce>(Effect::ConstantForce(ToVector(force, "force")));
                 }),
                 arg("force"));
    VectorParameter(constant, "force", &Effect::a, "The force, 3 numbers.");
    constant.def("__repr__", [](const PyConstantForce& e) { return "ConstantForce(force=" + Text(e.effect.a) + ")"; });

    py::class_<PySpring, PyEffect, std::shared_ptr<PySpring>> spring(
        m, "Spring", "Pulls towards anchor: stiffness * (anchor - position) - damping * velocity.");
    spring.def(py::init([](const std::vector<double>& anchor, double stiffness, double damping) {
                   return Made<PySpring>(Effect::Spring(ToVector(anchor, "anchor"), Amount(stiffness, "stiffness"),
                                                        Amount(damping, "damping")));
               }),
               arg("anchor"), arg("stiffness"), arg("damping") = 0.0);
    VectorParameter(spring, "anchor", &Effect::a, "Where it pulls to, 3 numbers.");
    AmountParameter(spring, "stiffness", &Effect::stiffness, "Force per unit of distance.");
    AmountParameter(spring, "damping", &Effect::damping, "Force per unit of velocity.");
    spring.def("__repr__", [](const PySpring& e) {
        return "Spring(anchor=" + Text(e.effect.a) + ", stiffness=" + Number(e.effect.stiffness) +
               ", damping=" + Number(e.effect.damping) + ")";
    });

    py::class_<PyDamper, PyEffect, std::shared_ptr<PyDamper>> damper(m, "Damper",
                                                                       "Resists motion: -damping * velocity.");
    damper.def(py::init([](double damping) { return Made<PyDamper>(Effect::Damper(Amount(damping, "damping"))); }),
               arg("damping"));
    AmountParameter(damper, "damping", &Effect::damping, "Force per unit of velocity.");
    damper.def("__repr__", [](const PyDamper& e) {
        return "Damper(damping=" + Number(e.effect.damping) + ")";
    });

    py::class_<PyPlane, PyEffect, std::shared_ptr<PyPlane>> plane(
        m, "Plane",
        "A one-sided wall through point; normal points to the free side. Past the plane it pushes back along "
        "the normal with stiffness * depth - damping * (velocity . normal), never pulling.");
    plane.def(py::init([](const std::vector<double>& point, const std::vector<double>& normal, double stiffness,
                          double damping) {
                  const Vector3 n = ToVector(normal, "normal");
                  if (n == Vector3{0.0, 0.0, 0.0}) throw py::value_error("normal must not be zero");
                  return Made<PyPlane>(Effect::Plane(ToVector(point, "point"), n, Amount(stiffness, "stiffness"),
                                                     Amount(damping, "damping")));
              }),
              arg("point"), arg("normal"), arg("stiffness"), arg("damping") = 0.0);
    VectorParameter(plane, "point", &Effect::a, "A point of the plane, 3 numbers.");
    plane.def_property(
        "normal", [](const PyPlane& e) { return FromVector(e.effect.b); },
        [](PyPlane& e, const std::vector<double>& value) {
            const Vector3 n = ToVector(value, "normal");
            if (n == Vector3{0.0, 0.0, 0.0}) throw py::value_error("normal must not be zero");
            e.effect = Effect::Plane(e.effect.a, n, e.effect.stiffness, e.effect.damping);
            e.Changed();
        },
        "The direction of the free side, kept at unit length.");
    AmountParameter(plane, "stiffness", &Effect::stiffness, "Force per unit of depth.");
    AmountParameter(plane, "damping", &Effect::damping, "Force per unit of velocity into the wall.");
    plane.def("__repr__", [](const PyPlane& e) {
        return "Plane(point=" + Text(e.effect.a) + ", normal=" + Text(e.effect.b) +
               ", stiffness=" + Number(e.effect.stiffness) +
               ", damping=" + Number(e.effect.damping) + ")";
    });

    py::class_<PySphere, PyEffect, std::shared_ptr<PySphere>> sphere(
        m, "Sphere",
        "inside=True keeps the end effector within the ball; inside=False makes the ball solid. Pushes with "
        "stiffness * distance past the surface, along the radius.");
    sphere.def(py::init([](const std::vector<double>& center, double radius, double stiffness, bool inside) {
                   return Made<PySphere>(Effect::Sphere(ToVector(center, "center"), Amount(radius, "radius"),
                                                        Amount(stiffness, "stiffness"), inside));
               }),
               arg("center"), arg("radius"), arg("stiffness"), arg("inside") = true);
    VectorParameter(sphere, "center", &Effect::a, "The ball's centre, 3 numbers.");
    AmountParameter(sphere, "radius", &Effect::radius, "The ball's radius.");
    AmountParameter(sphere, "stiffness", &Effect::stiffness, "Force per unit of distance past the surface.");
    sphere.def_property(
        "inside", [](const PySphere& e) { return e.effect.inside; },
        [](PySphere& e, bool inside) {
            e.effect.inside = inside;
            e.Changed();
        },
        "True: keep the end effector inside; False: keep it out.");
    sphere.def("__repr__", [](const PySphere& e) {
        return "Sphere(center=" + Text(e.effect.a) + ", radius=" + Number(e.effect.radius) +
               ", stiffness=" + Number(e.effect.stiffness) +
               ", inside=" + (e.effect.inside ? "True" : "False") + ")";
    });

    py::class_<PyBox, PyEffect, std::shared_ptr<PyBox>> box(
        m, "Box", "Keeps the end effector within the box, each axis on its own: stiffness * distance past a face.");
    box.def(py::init([](const std::vector<double>& lower, const std::vector<double>& upper, double stiffness) {
                const Vector3 low = ToVector(lower, "lower"), high = ToVector(upper, "upper");
                for (int i = 0; i < 3; ++i) {
                    if (low[i] > high[i]) throw py::value_error("lower must not exceed upper on any axis");
                }
                return Made<PyBox>(Effect::Box(low, high, Amount(stiffness, "stiffness")));
            }),
            arg("lower"), arg("upper"), arg("stiffness"));
    VectorParameter(box, "lower", &Effect::a, "The corner with the smallest coordinates, 3 numbers.");
    VectorParameter(box, "upper", &Effect::b, "The corner with the largest coordinates, 3 numbers.");
    AmountParameter(box, "stiffness", &Effect::stiffness, "Force per unit of distance past a face.");
    box.def("__repr__", [](const PyBox& e) {
        return "Box(lower=" + Text(e.effect.a) + ", upper=" + Text(e.effect.b) +
               ", stiffness=" + Number(e.effect.stiffness) + ")";
    });

    py::class_<PyServoLoop>(m, "ServoLoop",
                            "Drives one Triaxon on a native thread at a fixed rate, rendering force effects.")
        .def(py::init([](Constructed<Triaxon> arm, double rate, double max_force, std::optional<double> timeout,
                         bool realtime, int priority, std::optional<int> cpu, std::size_t samples) {
                 ServoOptions options;
                 options.rate = rate;
                 options.max_force = max_force;
                 options.timeout = timeout.value_or(0.0);
                 if (timeout && *timeout <= 0.0) throw py::value_error("timeout must be above 0, or None");
                 options.realtime = realtime;
                 options.priority = priority;
                 options.cpu = cpu.value_or(-1);
                 options.samples = samples;
                 try {
                     return std::make_unique<PyServoLoop>(arm, options);
                 } catch (const std::invalid_argument& bad) {
                     throw py::value_error(bad.what());
                 }
             }),
             arg("arm"), py::kw_only(), arg("rate") = 1000.0, arg("max_force") = 10.0, arg("timeout") = py::none(),
             arg("realtime") = false, arg("priority") = 80, arg("cpu") = py::none(), arg("samples") = 65536)
        .def("start", &PyServoLoop::Start, "Start the servo thread.")
        .def("stop", &PyServoLoop::Stop, "Stop the servo thread, which sends zero force; idempotent.")
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

    // Interpreter exit: no running loop outlives the interpreter, and each
    // sends its zero force.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        for (PyServoLoop* loop : std::vector<PyServoLoop*>(LiveLoops().begin(), LiveLoops().end())) {
            loop->StopThread();
        }
    }));
}
