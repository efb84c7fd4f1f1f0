// Monotonic constraints of a two-class tree, as scikit-learn's tree
// defines them: the bounds and checks are on the class-0 share (a node's
// value), under the opposite sign of the user's constraint on class 1. A
// node carries bounds [lower, upper] on its value; a split on a
// constrained feature must keep both children's shares inside them and in
// the constraint's order, and passes its children the halves of the bounds
// on either side of the mean of their shares.
#pragma once

#include <cstdint>
#include <limits>

namespace tavrin::kernels::learner {

struct ValueBounds {
    double lower = -std::numeric_limits<double>::infinity();
    double upper = std::numeric_limits<double>::infinity();
};

// Whether a split with class-0 weights left0 of wl on the left and right0
// of wr on the right keeps a constraint `cst` (on class 1) at a node of
// bounds `b`.
inline bool keeps_monotonic(std::int8_t cst, const ValueBounds& b, double left0, double wl, double right0,
                            double wr) {
    const double vl = left0 / wl, vr = right0 / wr;
    const double sign = -static_cast<double>(cst);
    return (vl >= b.lower) & (vr >= b.lower) & (vl <= b.upper) & (vr <= b.upper) & ((vl - vr) * sign <= 0.0);
}

// The children's bounds after a split of a node of bounds `b` on a feature
// of constraint `cst`.
inline void child_bounds(std::int8_t cst, const ValueBounds& b, double left0, double wl, double right0, double wr,
                         ValueBounds& left, ValueBounds& right) {
    left = right = b;
    if (cst == 0) return;
    const double middle = left0 / (2.0 * wl) + right0 / (2.0 * wr);
    if (cst < 0) {  // class 0 rises with the feature
        left.upper = middle;
        right.lower = middle;
    } else {
        left.lower = middle;
        right.upper = middle;
    }
}

// A node's class-0 share clipped into its bounds (class 1 gets the rest).
inline double bounded_share(const ValueBounds& b, double share0) {
    if (share0 < b.lower) return b.lower;
    if (share0 > b.upper) return b.upper;
    return share0;
}

}  // namespace tavrin::kernels::learner
