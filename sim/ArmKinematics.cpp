#include "ArmKinematics.h"

#include <algorithm>
#include <cmath>

namespace Tessary::Sim {

Vec3 ArmKinematics::Forward(const Vec3& q)
{
    const double r = kUpperLink * std::cos(q[1]) + kLowerLink * std::cos(q[1] + q[2]);
    const double h = kUpperLink * std::sin(q[1]) + kLowerLink * std::sin(q[1] + q[2]);
    return { r * std::cos(q[0]) - kBaseOffset, r * std::sin(q[0]), h };
}

Vec3 ArmKinematics::Inverse(const Vec3& p)
{
    const double ax = p[0] + kBaseOffset;
    const double ay = p[1];
    const double h = p[2];
    const double r = std::hypot(ax, ay);
    const double q0 = r > 1e-12 ? std::atan2(ay, ax) : 0.0;

    const double l1 = kUpperLink;
    const double l2 = kLowerLink;
    const double d2 = r * r + h * h;
    const double c = std::clamp((d2 - l1 * l1 - l2 * l2) / (2.0 * l1 * l2), -1.0, 1.0);
    const double q2 = std::acos(c);
    const double q1 = std::atan2(h, r) - std::atan2(l2 * std::sin(q2), l1 + l2 * std::cos(q2));
    return { q0, q1, q2 };
}

void ArmKinematics::Jacobian(const Vec3& q, double J[3][3])
{
    const double c0 = std::cos(q[0]);
    const double s0 = std::sin(q[0]);
    const double s1 = std::sin(q[1]);
    const double c1 = std::cos(q[1]);
    const double s12 = std::sin(q[1] + q[2]);
    const double c12 = std::cos(q[1] + q[2]);

    const double r = kUpperLink * c1 + kLowerLink * c12;
    const double drdq1 = -kUpperLink * s1 - kLowerLink * s12;
    const double drdq2 = -kLowerLink * s12;
    const double dhdq1 = kUpperLink * c1 + kLowerLink * c12;
    const double dhdq2 = kLowerLink * c12;

    J[0][0] = -r * s0;  J[0][1] = drdq1 * c0;  J[0][2] = drdq2 * c0;
    J[1][0] = r * c0;   J[1][1] = drdq1 * s0;  J[1][2] = drdq2 * s0;
    J[2][0] = 0.0;      J[2][1] = dhdq1;       J[2][2] = dhdq2;
}

bool ArmKinematics::Solve(const double A[3][3], const Vec3& b, Vec3& x)
{
    auto det3 = [](const double m[3][3]) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
            - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
            + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    const double det = det3(A);
    x = { 0.0, 0.0, 0.0 };
    if (!std::isfinite(det) || std::fabs(det) < 1e-12)
        return false;
    for (int col = 0; col < 3; ++col) {
        double m[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                m[i][j] = j == col ? b[i] : A[i][j];
        x[col] = det3(m) / det;
    }
    return true;
}

Vec3 ArmKinematics::JointRates(const Vec3& p, const Vec3& v)
{
    double J[3][3];
    Jacobian(Inverse(p), J);
    Vec3 rates;
    Solve(J, v, rates);
    return rates;
}

Vec3 ArmKinematics::ForceFromTorques(const Vec3& p, const Vec3& tau)
{
    double J[3][3];
    Jacobian(Inverse(p), J);
    double Jt[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            Jt[i][j] = J[j][i];
    Vec3 force;
    Solve(Jt, tau, force);
    return force;
}

} // namespace Tessary::Sim
