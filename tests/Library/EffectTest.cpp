#include <gtest/gtest.h>

#include <cfloat>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "TessaryHardwareAPI/Effect.h"

using namespace Tessary::HardwareAPI;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const Vector3 kOrigin{0, 0, 0};

// Each value the library must refuse, where it is first given and where it
// is changed; the message is the one Python shows as ValueError.
struct BadValue {
    const char* name;
    std::function<void()> make;
    const char* message;
};

std::vector<BadValue> BadValues() {
    Spring spring(kOrigin, 1.0);
    Plane plane(kOrigin, {0, 0, 1}, 1.0);
    Sphere sphere(kOrigin, 1.0, 1.0);
    Box box({-1, -1, -1}, {1, 1, 1}, 1.0);
    return {
        {"force +inf", [] { ConstantForce({kInf, 0, 0}); }, "force must be finite"},
        {"force -inf", [] { ConstantForce({0, -kInf, 0}); }, "force must be finite"},
        {"force NaN", [] { ConstantForce({0, 0, kNaN}); }, "force must be finite"},
        {"anchor set to inf", [=]() mutable { spring.SetAnchor({kInf, 0, 0}); }, "anchor must be finite"},
        {"stiffness negative", [] { Spring(kOrigin, -1.0); }, "stiffness must be finite and not negative, got -1"},
        {"stiffness inf", [=]() mutable { spring.SetStiffness(kInf); },
         "stiffness must be finite and not negative, got inf"},
        {"damping NaN", [] { (void)Damper(kNaN); }, "damping must be finite and not negative, got nan"},
        {"damping set negative", [=]() mutable { spring.SetDamping(-0.5); },
         "damping must be finite and not negative, got -0.5"},
        {"normal zero", [] { Plane(kOrigin, {0, 0, 0}, 1.0); }, "normal must not be zero"},
        {"normal set to zero", [=]() mutable { plane.SetNormal({0, 0, 0}); }, "normal must not be zero"},
        {"normal inf", [] { Plane(kOrigin, {kInf, 0, 0}, 1.0); }, "normal must be finite"},
        {"point NaN", [] { Plane({kNaN, 0, 0}, {0, 0, 1}, 1.0); }, "point must be finite"},
        {"radius negative", [] { Sphere(kOrigin, -1.0, 1.0); }, "radius must be finite and not negative, got -1"},
        {"radius set to inf", [=]() mutable { sphere.SetRadius(kInf); },
         "radius must be finite and not negative, got inf"},
        {"center inf", [] { Sphere({0, kInf, 0}, 1.0, 1.0); }, "center must be finite"},
        {"box upside down", [] { Box({1, 0, 0}, {0, 1, 1}, 1.0); }, "lower must not exceed upper on any axis"},
        {"lower set above upper", [=]() mutable { box.SetLower({2, 2, 2}); },
         "lower must not exceed upper on any axis"},
        {"upper set below lower", [=]() mutable { box.SetUpper({0, 0, -2}); },
         "lower must not exceed upper on any axis"},
        {"lower inf", [] { Box({-kInf, 0, 0}, {1, 1, 1}, 1.0); }, "lower must be finite"},
        {"lifetime negative", [] { Effect(Damper(1.0)).SetLifetime(-1.0); },
         "lifetime must be finite and not negative, got -1"},
        {"lifetime NaN", [] { Effect(Damper(1.0)).SetLifetime(kNaN); },
         "lifetime must be finite and not negative, got nan"},
    };
}

TEST(EffectValues, EveryBadValueIsRefusedWhereItIsGivenOrChanged) {
    for (const BadValue& bad : BadValues()) {
        try {
            bad.make();
            ADD_FAILURE() << bad.name << ": accepted";
        } catch (const std::invalid_argument& refused) {
            EXPECT_STREQ(refused.what(), bad.message) << bad.name;
        }
    }
}

TEST(EffectValues, ARefusedChangeLeavesTheEffectAsItWas) {
    Box box({-1, -1, -1}, {1, 1, 1}, 10.0);
    EXPECT_THROW(box.SetLower({2, 2, 2}), std::invalid_argument);
    EXPECT_EQ(box.Lower(), (Vector3{-1, -1, -1}));
    // Inside the box, as before: no force (a box turned inside out pushed
    // 20 per axis here).
    EXPECT_EQ(box.ForceAt(kOrigin, kOrigin), kOrigin);
    box.SetBounds({2, 2, 2}, {3, 3, 3});  // both corners at once
    EXPECT_EQ(box.ForceAt(kOrigin, kOrigin), (Vector3{20, 20, 20}));
}

TEST(EffectValues, ANormalIsMadeUnitLengthHoweverSmallOrLarge) {
    const double half = std::sqrt(0.5);
    const struct {
        Vector3 normal, unit;
    } cases[] = {
        {{1e-200, 0, 1e-200}, {half, 0, half}},  // its square underflows
        {{1e200, 0, -1e200}, {half, 0, -half}},  // its square overflows
        {{5e-324, 0, 0}, {1, 0, 0}},             // subnormal
        {{0, 3, 4}, {0, 0.6, 0.8}},
    };
    for (const auto& c : cases) {
        const Plane plane(kOrigin, c.normal, 100.0);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(plane.Normal()[k], c.unit[k], 1e-15) << c.normal[0];
        // A wall that renders: 1 cm past it, 1 N back along the normal.
        const Vector3 inside{-0.01 * c.unit[0], -0.01 * c.unit[1], -0.01 * c.unit[2]};
        const Vector3 f = plane.ForceAt(inside, kOrigin);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(f[k], c.unit[k], 1e-12) << c.normal[0];
    }
}

struct TotalCase {
    const char* name;
    std::vector<Effect> effects;
    Vector3 position, velocity, expected;
    double max_force = 10.0;
};

// The sum as the loop sends it: clamped, never infinite or NaN.
TEST(TotalForce, HugeIsClampedAndNotFiniteIsZero) {
    const double big = 1e200;
    const double r = 10.0 / std::sqrt(2.0);
    const std::vector<TotalCase> cases = {
        {"huge components clamped, not zeroed", {ConstantForce({big, big, 0})}, kOrigin, kOrigin, {r, r, 0}},
        {"the largest double clamped", {ConstantForce({DBL_MAX, 0, 0})}, kOrigin, kOrigin, {10, 0, 0}},
        {"tiny components kept", {ConstantForce({1e-300, 0, 0})}, kOrigin, kOrigin, {1e-300, 0, 0}},
        {"a sum that overflows: zero", {ConstantForce({DBL_MAX, 0, 0}), ConstantForce({DBL_MAX, 0, 0})}, kOrigin,
         kOrigin, kOrigin},
        {"a reply position of +inf: zero", {ConstantForce({1, 2, 3}), Spring(kOrigin, 1.0)}, {kInf, 0, 0}, kOrigin,
         kOrigin},
        {"a reply velocity of -inf: zero", {ConstantForce({1, 2, 3})}, kOrigin, {0, -kInf, 0}, kOrigin},
        {"a reply position of NaN: zero", {ConstantForce({1, 2, 3})}, {0, kNaN, 0}, kOrigin, kOrigin},
        {"a solid sphere's centre leaves the others alone",
         {Sphere(kOrigin, 0.1, 100, false), ConstantForce({1, 2, 3})}, kOrigin, kOrigin, {1, 2, 3}},
        {"clamped along its direction", {ConstantForce({30, 40, 0})}, kOrigin, kOrigin, {6, 8, 0}},
    };
    for (const TotalCase& c : cases) {
        const Vector3 f = TotalForce(c.effects.data(), c.effects.size(), c.position, c.velocity, c.max_force);
        for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(std::isfinite(f[k])) << c.name;
            EXPECT_NEAR(f[k], c.expected[k], 1e-12) << c.name << ", axis " << k;
        }
    }
}

TEST(EffectLifetime, AnEffectNotRenewedGivesNoForceOnceItsLifetimeIsOver) {
    using Clock = Effect::Clock;
    Effect push(ConstantForce({1, 2, 3}));
    push.SetLifetime(0.1);
    const Clock::time_point t0 = Clock::now();
    push.Renew(t0);
    const Vector3 expected{1, 2, 3};
    EXPECT_EQ(push.ForceAt(kOrigin, kOrigin, t0 + std::chrono::milliseconds(99)), expected);
    EXPECT_EQ(push.ForceAt(kOrigin, kOrigin, t0 + std::chrono::milliseconds(101)), kOrigin);
    EXPECT_TRUE(push.Expired(t0 + std::chrono::milliseconds(101)));
    push.Renew(t0 + std::chrono::milliseconds(101));
    EXPECT_EQ(push.ForceAt(kOrigin, kOrigin, t0 + std::chrono::milliseconds(150)), expected);
    push.SetLifetime(0.0);  // for ever
    EXPECT_EQ(push.ForceAt(kOrigin, kOrigin, t0 + std::chrono::hours(1000)), expected);
}

}  // namespace
