// Physics of the virtual arm. The end effector is a point mass with viscous
// damping inside a box workspace; there is no gravity (a real arm of this kind
// compensates it). Units: N, m, s, rad; N·m for joint torques.
//
//   mass                 kMass = 0.2 kg
//   viscous damping      kDamping = 2.0 N·s/m (always present)
//   workspace            cube |x|, |y|, |z| <= kHalfWidth = 0.1 m; a wall
//                        clamps the position and zeroes that velocity component
//   position servo       spring kStiffness = 200 N/m plus damping
//                        kServoDamping = 2·sqrt(k·m) ≈ 12.6 N·s/m (critical)
//   actuator limit       |force| <= kMaxForce = 20 N, |torque| <= kMaxTorque
//                        = 4 N·m per joint (larger commands saturate)
//   integration          semi-implicit Euler in substeps of at most 1 ms;
//                        one Advance() covers at most kMaxStep = 50 ms, so a
//                        long silence does not fling the mass to a wall
//   motor currents       kAmpsPerNewton = 0.5 A per N of the requested force
//                        (or of the servo force after a position request),
//                        or kAmpsPerNewtonMetre = 5 A per N·m of the
//                        requested joint torque (or of the servo's joint
//                        torque after a joint angle request), per component
//
// A command holds until the next one. Every request of the host advances the
// simulation by the real time elapsed since the previous request; a new
// command already acts over that interval, so its own reply shows its effect.
#pragma once

#include "ArmKinematics.h"

namespace Tessary::Sim {

class ArmDynamics {
public:
    static constexpr double kMass = 0.2;
    static constexpr double kDamping = 2.0;
    static constexpr double kHalfWidth = 0.1;
    static constexpr double kStiffness = 200.0;
    static constexpr double kServoDamping = 12.649110640673518; // 2·sqrt(200·0.2)
    static constexpr double kMaxForce = 20.0;
    static constexpr double kMaxTorque = 4.0;
    static constexpr double kSubstep = 0.001;
    static constexpr double kMaxStep = 0.05;
    static constexpr double kAmpsPerNewton = 0.5;
    static constexpr double kAmpsPerNewtonMetre = 5.0;

    ArmDynamics();

    void CommandForce(const Vec3& force);
    void CommandPosition(const Vec3& position);
    void CommandJointTorques(const Vec3& torques);
    void CommandJointAngles(const Vec3& angles);

    // Integrates the held command over `seconds` (capped at kMaxStep).
    void Advance(double seconds);

    const Vec3& Position() const { return position_; }
    const Vec3& Velocity() const { return velocity_; }
    void JointState(Vec3& angles, Vec3& rates) const;
    Vec3 MotorCurrents() const;

private:
    enum class Mode { Force, Position, JointTorque, JointAngle };

    Vec3 ActuatorForce() const;
    static Vec3 Finite(const Vec3& v);
    static Vec3 Saturate(const Vec3& v, double limit);

    Mode mode_ = Mode::Force;
    Vec3 position_{};
    Vec3 velocity_{};
    Vec3 force_{};      // Force mode
    Vec3 target_{};     // Position and JointAngle modes, workspace coordinates
    Vec3 torques_{};    // JointTorque mode
    Vec3 lastActuator_{}; // force of the last substep, for the motor currents
};

} // namespace Tessary::Sim
