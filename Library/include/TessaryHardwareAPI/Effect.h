#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <type_traits>
#include <variant>

#include "TessaryHardwareAPI/Export.h"

namespace Tessary::HardwareAPI {

using Vector3 = std::array<double, 3>;

// Force effects a ServoLoop renders. Units are the device's, passed through
// unscaled (the simulator's are SI: metres, newtons, seconds).
//
// Every value is checked where it is set, by the constructors and by every
// setter: vectors must be finite; stiffness, damping and radius finite and
// not negative; a plane's normal long enough to be made unit length; a box's
// lower corner at or below its upper one on every axis. A value that fails
// throws std::invalid_argument and leaves the effect as it was, so that the
// servo thread only ever sees effects whose force is defined.

// The same force at every tick.
class TESSARY_API ConstantForce {
public:
    explicit ConstantForce(const Vector3& force);
    const Vector3& Force() const { return force_; }
    void SetForce(const Vector3& force);
    Vector3 ForceAt(const Vector3& position, const Vector3& velocity) const;

private:
    Vector3 force_;
};

// Pulls towards `anchor`: stiffness * (anchor - position) - damping * velocity.
class TESSARY_API Spring {
public:
    Spring(const Vector3& anchor, double stiffness, double damping = 0.0);
    const Vector3& Anchor() const { return anchor_; }
    double Stiffness() const { return stiffness_; }
    double Damping() const { return damping_; }
    void SetAnchor(const Vector3& anchor);
    void SetStiffness(double stiffness);
    void SetDamping(double damping);
    Vector3 ForceAt(const Vector3& position, const Vector3& velocity) const;

private:
    Vector3 anchor_;
    double stiffness_, damping_;
};

// Resists motion: -damping * velocity.
class TESSARY_API Damper {
public:
    explicit Damper(double damping);
    double Damping() const { return damping_; }
    void SetDamping(double damping);
    Vector3 ForceAt(const Vector3& position, const Vector3& velocity) const;

private:
    double damping_;
};

// A one-sided wall through `point`; `normal` points to the free side and is
// kept at unit length. Past the plane it pushes back along the normal with
// stiffness * depth - damping * (velocity . normal), and never pulls.
class TESSARY_API Plane {
public:
    Plane(const Vector3& point, const Vector3& normal, double stiffness, double damping = 0.0);
    const Vector3& Point() const { return point_; }
    const Vector3& Normal() const { return normal_; }
    double Stiffness() const { return stiffness_; }
    double Damping() const { return damping_; }
    void SetPoint(const Vector3& point);
    void SetNormal(const Vector3& normal);
    void SetStiffness(double stiffness);
    void SetDamping(double damping);
    Vector3 ForceAt(const Vector3& position, const Vector3& velocity) const;

private:
    Vector3 point_, normal_;
    double stiffness_, damping_;
};

// inside: keeps the end effector within the ball (pushes back once it is
// farther than `radius` from `center`); otherwise a solid ball it cannot
// enter (pushes out while it is closer). stiffness * distance past the
// surface, along the radius. At the very centre a solid ball has no
// direction to push in, and gives no force.
class TESSARY_API Sphere {
public:
    Sphere(const Vector3& center, double radius, double stiffness, bool inside = true);
    const Vector3& Center() const { return center_; }
    double Radius() const { return radius_; }
    double Stiffness() const { return stiffness_; }
    bool Inside() const { return inside_; }
    void SetCenter(const Vector3& center);
    void SetRadius(double radius);
    void SetStiffness(double stiffness);
    void SetInside(bool inside) { inside_ = inside; }
    Vector3 ForceAt(const Vector3& position, const Vector3& velocity) const;

private:
    Vector3 center_;
    double radius_, stiffness_;
    bool inside_;
};

// Keeps the end effector within the axis-aligned box, each axis on its own:
// stiffness * distance past a face, back towards it.
class TESSARY_API Box {
public:
    Box(const Vector3& lower, const Vector3& upper, double stiffness);
    const Vector3& Lower() const { return lower_; }
    const Vector3& Upper() const { return upper_; }
    double Stiffness() const { return stiffness_; }
    // Each corner is checked against the other as it stands; SetBounds
    // moves both at once.
    void SetLower(const Vector3& lower);
    void SetUpper(const Vector3& upper);
    void SetBounds(const Vector3& lower, const Vector3& upper);
    void SetStiffness(double stiffness);
    Vector3 ForceAt(const Vector3& position, const Vector3& velocity) const;

private:
    Vector3 lower_, upper_;
    double stiffness_;
};

// One effect of any kind, as a loop holds it, with an optional lifetime: an
// effect that is not renewed within `lifetime` seconds of its last renewal
// gives no force (a command that stopped coming must not stay on the hand).
// A plain value: copying it copies its renewal time too.
class TESSARY_API Effect {
public:
    using Clock = std::chrono::steady_clock;
    using Shape = std::variant<ConstantForce, Spring, Damper, Plane, Sphere, Box>;

    // No force: a zero ConstantForce.
    Effect() : shape_(ConstantForce({0.0, 0.0, 0.0})) {}
    template <typename Kind, typename = std::enable_if_t<std::is_constructible_v<Shape, Kind>>>
    Effect(const Kind& kind) : shape_(kind) {}  // NOLINT: an effect of that kind

    // The kind and its parameters; null when the effect is of another kind.
    template <typename Kind>
    const Kind* As() const { return std::get_if<Kind>(&shape_); }
    template <typename Kind>
    Kind* As() { return std::get_if<Kind>(&shape_); }
    const Shape& Parameters() const { return shape_; }

    // Seconds; 0: the effect never expires.
    double Lifetime() const { return lifetime_; }
    void SetLifetime(double seconds);
    // Starts its lifetime anew, from `now`.
    void Renew(Clock::time_point now = Clock::now()) { renewed_ = now; }
    bool Expired(Clock::time_point now = Clock::now()) const;

    // Its force at this position and velocity, at `now`.
    Vector3 ForceAt(const Vector3& position, const Vector3& velocity, Clock::time_point now = Clock::now()) const;

private:
    Shape shape_;
    double lifetime_ = 0.0;
    std::chrono::nanoseconds lifetime_ns_{0};
    Clock::time_point renewed_ = Clock::now();
};

// The sum of the effects' forces at `now`, scaled down to magnitude
// `max_force` when it is larger. Zero when the position or velocity is not
// finite (a corrupt reply), or when the sum overflows what a double holds;
// a sum with huge but finite parts is scaled down like any other.
TESSARY_API Vector3 TotalForce(const Effect* effects, std::size_t count, const Vector3& position,
                               const Vector3& velocity, double max_force,
                               Effect::Clock::time_point now = Effect::Clock::now());

}  // namespace Tessary::HardwareAPI
