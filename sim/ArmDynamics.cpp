#include "ArmDynamics.h"

#include <algorithm>
#include <cmath>

namespace Tessary::Sim {

ArmDynamics::ArmDynamics() = default;

Vec3 ArmDynamics::Finite(const Vec3& v)
{
    Vec3 out;
    for (int i = 0; i < 3; ++i)
        out[i] = std::isfinite(v[i]) ? v[i] : 0.0;
    return out;
}

Vec3 ArmDynamics::Saturate(const Vec3& v, double limit)
{
    const double norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(norm > limit))
        return v;
    const double scale = limit / norm;
    return { v[0] * scale, v[1] * scale, v[2] * scale };
}

void ArmDynamics::CommandForce(const Vec3& force)
{
    mode_ = Mode::Force;
    force_ = Saturate(Finite(force), kMaxForce);
}

void ArmDynamics::CommandPosition(const Vec3& position)
{
    mode_ = Mode::Position;
    target_ = Finite(position);
}

void ArmDynamics::CommandJointTorques(const Vec3& torques)
{
    mode_ = Mode::JointTorque;
    const Vec3 t = Finite(torques);
    for (int i = 0; i < 3; ++i)
        torques_[i] = std::clamp(t[i], -kMaxTorque, kMaxTorque);
}

void ArmDynamics::CommandJointAngles(const Vec3& angles)
{
    mode_ = Mode::JointAngle;
    target_ = ArmKinematics::Forward(Finite(angles));
}

Vec3 ArmDynamics::ActuatorForce() const
{
    switch (mode_) {
    case Mode::Force:
        return force_;
    case Mode::JointTorque:
        return Saturate(ArmKinematics::ForceFromTorques(position_, torques_), kMaxForce);
    case Mode::Position:
    case Mode::JointAngle:
        break;
    }
    Vec3 f;
    for (int i = 0; i < 3; ++i)
        f[i] = kStiffness * (target_[i] - position_[i]) - kServoDamping * velocity_[i];
    return Saturate(f, kMaxForce);
}

void ArmDynamics::Advance(double seconds)
{
    if (!(seconds > 0.0))
        return;
    seconds = std::min(seconds, kMaxStep);
    const int steps = std::max(1, static_cast<int>(std::ceil(seconds / kSubstep)));
    const double h = seconds / steps;
    for (int s = 0; s < steps; ++s) {
        lastActuator_ = ActuatorForce();
        for (int i = 0; i < 3; ++i) {
            const double a = (lastActuator_[i] - kDamping * velocity_[i]) / kMass;
            velocity_[i] += a * h;
            position_[i] += velocity_[i] * h;
            if (position_[i] > kHalfWidth) {
                position_[i] = kHalfWidth;
                velocity_[i] = 0.0;
            } else if (position_[i] < -kHalfWidth) {
                position_[i] = -kHalfWidth;
                velocity_[i] = 0.0;
            }
        }
    }
}

void ArmDynamics::JointState(Vec3& angles, Vec3& rates) const
{
    angles = ArmKinematics::Inverse(position_);
    rates = ArmKinematics::JointRates(position_, velocity_);
}

Vec3 ArmDynamics::MotorCurrents() const
{
    if (mode_ == Mode::JointTorque)
        return { torques_[0] * kAmpsPerNewtonMetre, torques_[1] * kAmpsPerNewtonMetre,
                 torques_[2] * kAmpsPerNewtonMetre };
    if (mode_ == Mode::JointAngle) {
        // The servo force as the joints feel it: tau = J^T f.
        double J[3][3];
        ArmKinematics::Jacobian(ArmKinematics::Inverse(position_), J);
        Vec3 c{};
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i)
                c[j] += J[i][j] * lastActuator_[i] * kAmpsPerNewtonMetre;
        return c;
    }
    if (mode_ == Mode::Force)
        return { force_[0] * kAmpsPerNewton, force_[1] * kAmpsPerNewton, force_[2] * kAmpsPerNewton };
    return { lastActuator_[0] * kAmpsPerNewton, lastActuator_[1] * kAmpsPerNewton,
             lastActuator_[2] * kAmpsPerNewton };
}

} // namespace Tessary::Sim
