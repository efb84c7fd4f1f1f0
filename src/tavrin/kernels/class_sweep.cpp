// The all-class impurity sweep. Each operation below is one the
// interpreter performs on float objects (true division of two integers,
// float ** 2, float + float, float - float), in the same order.
#include "kernels/class_sweep.hpp"

#include <cmath>

namespace tavrin::kernels {

namespace {
// The exponent is read at run time: with a visible constant 2.0 the
// compiler rewrites pow(q, 2.0) as q * q, which is not what the
// interpreter computes.
volatile double g_two = 2.0;
}  // namespace

double float_power_square(double q) {
    // The interpreter's float power treats 0 and a negative base itself and
    // hands pow() the absolute value for an even integer exponent.
    if (q == 0.0) return 0.0;
    return std::pow(std::fabs(q), g_two);
}

double side_impurity(const long long* counts, std::size_t n, double divisor) {
    double sum = 0.0;
    for (std::size_t x = 0; x < n; ++x) {
        const double q = static_cast<double>(counts[x]) / divisor;
        sum = sum + float_power_square(q);
    }
    return 1.0 - sum;
}

ClassSweep::ClassSweep(const std::vector<long long>& totals, long long rows)
    : left_(totals.size(), 0), right_(totals), rows_(rows) {}

double ClassSweep::advance(std::size_t code) {
    ++left_[code];
    --right_[code];
    ++position_;
    const double i = static_cast<double>(position_);
    const double r = static_cast<double>(rows_ - position_);
    const double gini_left = side_impurity(left_.data(), left_.size(), i);
    const double gini_right = side_impurity(right_.data(), right_.size(), r);
    return (i * gini_left + r * gini_right) / static_cast<double>(rows_);
}

}  // namespace tavrin::kernels
