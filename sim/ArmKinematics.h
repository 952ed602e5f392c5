// Kinematic model of the virtual arm: a base yaw joint about +z carrying a
// two-link planar arm (shoulder and elbow pitch) in the vertical plane that
// the yaw selects.
//
//   arm frame:  r = L1 cos q1 + L2 cos(q1 + q2)       (horizontal reach)
//               h = L1 sin q1 + L2 sin(q1 + q2)       (height)
//               a = (r cos q0, r sin q0, h)
//   workspace:  p = a - (kBaseOffset, 0, 0)
//
// With L1 = L2 = 0.2 m and the base 0.2 m behind the workspace centre, the
// whole +-0.1 m workspace box lies at 0.1..0.33 m from the base: always
// reachable, away from the stretched and folded elbow and from the yaw axis,
// so the Jacobian stays well conditioned. Inverse kinematics takes the
// elbow branch q2 in [0, pi].
#pragma once

#include <array>

namespace Tessary::Sim {

using Vec3 = std::array<double, 3>;

class ArmKinematics {
public:
    static constexpr double kUpperLink = 0.2;  // L1, m
    static constexpr double kLowerLink = 0.2;  // L2, m
    static constexpr double kBaseOffset = 0.2; // m behind the workspace centre

    // Joint angles (rad) to workspace position (m).
    static Vec3 Forward(const Vec3& q);
    // Workspace position to joint angles; unreachable points give the angles
    // of the nearest point along the same ray. Never NaN for finite input.
    static Vec3 Inverse(const Vec3& p);
    // dp/dq at the given angles, row-major: J[i][j] = d p_i / d q_j.
    static void Jacobian(const Vec3& q, double J[3][3]);

    // Joint velocities for an end-effector velocity v at position p.
    static Vec3 JointRates(const Vec3& p, const Vec3& v);
    // End-effector force produced by joint torques tau at position p: the
    // solution of J^T f = tau.
    static Vec3 ForceFromTorques(const Vec3& p, const Vec3& tau);

private:
    // Solves A x = b by Cramer's rule; false (x zero) when A is singular.
    static bool Solve(const double A[3][3], const Vec3& b, Vec3& x);
};

} // namespace Tessary::Sim
