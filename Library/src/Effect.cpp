#include "TessaryHardwareAPI/Effect.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace Tessary::HardwareAPI {

namespace {

double Dot(const Vector3& u, const Vector3& v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; }
Vector3 Minus(const Vector3& u, const Vector3& v) { return {u[0] - v[0], u[1] - v[1], u[2] - v[2]}; }
Vector3 Scaled(const Vector3& u, double k) { return {u[0] * k, u[1] * k, u[2] * k}; }
// Divided, not multiplied by the reciprocal, which overflows for a subnormal d.
Vector3 Divided(const Vector3& u, double d) { return {u[0] / d, u[1] / d, u[2] / d}; }
bool Finite(const Vector3& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// The shortest text that reads back as the same double.
std::string Text(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

const Vector3& CheckedVector(const Vector3& v, const char* name) {
    if (!Finite(v)) throw std::invalid_argument(std::string(name) + " must be finite");
    return v;
}

// Stiffness, damping and radius: a negative one would push the arm away from
// where it should go, or never stop it.
double CheckedAmount(double value, const char* name) {
    if (!std::isfinite(value) || value < 0.0) {
        throw std::invalid_argument(std::string(name) + " must be finite and not negative, got " + Text(value));
    }
    return value;
}

// Its largest component's size: divided by it first, a vector's length
// neither overflows (1e200 squared) nor underflows (1e-200 squared).
double Largest(const Vector3& v) { return std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])}); }

// The length of a finite vector, without overflow or underflow.
double Length(const Vector3& v) {
    const double largest = Largest(v);
    if (largest == 0.0) return 0.0;
    const Vector3 unit = Divided(v, largest);
    return largest * std::sqrt(Dot(unit, unit));
}

Vector3 UnitNormal(const Vector3& normal) {
    CheckedVector(normal, "normal");
    const double largest = Largest(normal);
    if (largest == 0.0) throw std::invalid_argument("normal must not be zero");
    const Vector3 scaled = Divided(normal, largest);
    return Divided(scaled, std::sqrt(Dot(scaled, scaled)));
}

void CheckBounds(const Vector3& lower, const Vector3& upper) {
    CheckedVector(lower, "lower");
    CheckedVector(upper, "upper");
    for (int i = 0; i < 3; ++i) {
        if (lower[i] > upper[i]) throw std::invalid_argument("lower must not exceed upper on any axis");
    }
}

}  // namespace

// ------------------------------------------------------------------ kinds

ConstantForce::ConstantForce(const Vector3& force) : force_(CheckedVector(force, "force")) {}
void ConstantForce::SetForce(const Vector3& force) { force_ = CheckedVector(force, "force"); }
Vector3 ConstantForce::ForceAt(const Vector3&, const Vector3&) const { return force_; }

Spring::Spring(const Vector3& anchor, double stiffness, double damping)
    : anchor_(CheckedVector(anchor, "anchor")),
      stiffness_(CheckedAmount(stiffness, "stiffness")),
      damping_(CheckedAmount(damping, "damping")) {}
void Spring::SetAnchor(const Vector3& anchor) { anchor_ = CheckedVector(anchor, "anchor"); }
void Spring::SetStiffness(double stiffness) { stiffness_ = CheckedAmount(stiffness, "stiffness"); }
void Spring::SetDamping(double damping) { damping_ = CheckedAmount(damping, "damping"); }
Vector3 Spring::ForceAt(const Vector3& x, const Vector3& v) const {
    return Minus(Scaled(Minus(anchor_, x), stiffness_), Scaled(v, damping_));
}

Damper::Damper(double damping) : damping_(CheckedAmount(damping, "damping")) {}
void Damper::SetDamping(double damping) { damping_ = CheckedAmount(damping, "damping"); }
Vector3 Damper::ForceAt(const Vector3&, const Vector3& v) const { return Scaled(v, -damping_); }

Plane::Plane(const Vector3& point, const Vector3& normal, double stiffness, double damping)
    : point_(CheckedVector(point, "point")),
      normal_(UnitNormal(normal)),
      stiffness_(CheckedAmount(stiffness, "stiffness")),
      damping_(CheckedAmount(damping, "damping")) {}
void Plane::SetPoint(const Vector3& point) { point_ = CheckedVector(point, "point"); }
void Plane::SetNormal(const Vector3& normal) { normal_ = UnitNormal(normal); }
void Plane::SetStiffness(double stiffness) { stiffness_ = CheckedAmount(stiffness, "stiffness"); }
void Plane::SetDamping(double damping) { damping_ = CheckedAmount(damping, "damping"); }
Vector3 Plane::ForceAt(const Vector3& x, const Vector3& v) const {
    const double depth = -Dot(Minus(x, point_), normal_);  // > 0: past the plane
    if (!(depth > 0.0)) return {0.0, 0.0, 0.0};
    // A wall pushes; damping that would pull it back is left out.
    return Scaled(normal_, std::max(0.0, stiffness_ * depth - damping_ * Dot(v, normal_)));
}

Sphere::Sphere(const Vector3& center, double radius, double stiffness, bool inside)
    : center_(CheckedVector(center, "center")),
      radius_(CheckedAmount(radius, "radius")),
      stiffness_(CheckedAmount(stiffness, "stiffness")),
      inside_(inside) {}
void Sphere::SetCenter(const Vector3& center) { center_ = CheckedVector(center, "center"); }
void Sphere::SetRadius(double radius) { radius_ = CheckedAmount(radius, "radius"); }
void Sphere::SetStiffness(double stiffness) { stiffness_ = CheckedAmount(stiffness, "stiffness"); }
Vector3 Sphere::ForceAt(const Vector3& x, const Vector3&) const {
    const Vector3 out = Minus(x, center_);
    const double distance = Length(out);
    const double past = inside_ ? distance - radius_ : radius_ - distance;
    if (!(past > 0.0) || distance == 0.0) return {0.0, 0.0, 0.0};  // the centre has no direction
    return Scaled(out, (inside_ ? -stiffness_ : stiffness_) * past / distance);
}

Box::Box(const Vector3& lower, const Vector3& upper, double stiffness)
    : lower_(lower), upper_(upper), stiffness_(CheckedAmount(stiffness, "stiffness")) {
    CheckBounds(lower, upper);
}
void Box::SetLower(const Vector3& lower) { SetBounds(lower, upper_); }
void Box::SetUpper(const Vector3& upper) { SetBounds(lower_, upper); }
void Box::SetBounds(const Vector3& lower, const Vector3& upper) {
    CheckBounds(lower, upper);
    lower_ = lower;
    upper_ = upper;
}
void Box::SetStiffness(double stiffness) { stiffness_ = CheckedAmount(stiffness, "stiffness"); }
Vector3 Box::ForceAt(const Vector3& x, const Vector3&) const {
    Vector3 f{0.0, 0.0, 0.0};
    for (int i = 0; i < 3; ++i) {
        if (x[i] < lower_[i]) f[i] = stiffness_ * (lower_[i] - x[i]);
        if (x[i] > upper_[i]) f[i] = -stiffness_ * (x[i] - upper_[i]);
    }
    return f;
}

// ----------------------------------------------------------------- effect

void Effect::SetLifetime(double seconds) {
    CheckedAmount(seconds, "lifetime");
    // Longer than any process runs: the same as never.
    lifetime_ = seconds;
    lifetime_ns_ = seconds >= 1e9 ? std::chrono::nanoseconds::max()
                                  : std::chrono::nanoseconds(static_cast<long long>(std::llround(seconds * 1e9)));
}

bool Effect::Expired(Clock::time_point now) const {
    return lifetime_ > 0.0 && now - renewed_ > lifetime_ns_;
}

Vector3 Effect::ForceAt(const Vector3& position, const Vector3& velocity, Clock::time_point now) const {
    if (Expired(now)) return {0.0, 0.0, 0.0};
    return std::visit([&](const auto& kind) { return kind.ForceAt(position, velocity); }, shape_);
}

Vector3 TotalForce(const Effect* effects, std::size_t count, const Vector3& position, const Vector3& velocity,
                   double max_force, Effect::Clock::time_point now) {
    const Vector3 zero{0.0, 0.0, 0.0};
    // A corrupt reply (NaN or infinity) must never reach the arm as a force.
    if (!Finite(position) || !Finite(velocity)) return zero;
    Vector3 total = zero;
    for (std::size_t i = 0; i < count; ++i) {
        const Vector3 f = effects[i].ForceAt(position, velocity, now);
        for (int k = 0; k < 3; ++k) total[k] += f[k];
    }
    if (!Finite(total)) return zero;  // beyond what a double holds: no direction to trust
    const double magnitude = Length(total);
    if (magnitude <= max_force) return total;
    // Scaled through the unit vector, so that neither part overflows.
    const double largest = Largest(total);
    const Vector3 unit = Scaled(Divided(total, largest), largest / magnitude);
    return Scaled(unit, max_force);
}

}  // namespace Tessary::HardwareAPI
