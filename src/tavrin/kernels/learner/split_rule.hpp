// The rules every search of a numeric split applies the same way, whether
// it scans a node's sorted rows in memory or merged bin summaries from
// several machines: where the threshold between two neighbouring values
// lies, and which children a split may make.
#pragma once

#include "kernels/learner/learner.hpp"

#include <cstdint>

namespace tavrin::kernels::learner {

// The threshold between neighbours a < b: their midpoint, kept inside
// [a, b) so that `x <= threshold` separates them even where the halves'
// sum rounds up to b.
inline double midpoint(double a, double b) {
    const double t = a / 2.0 + b / 2.0;
    return (t >= a && t < b) ? t : a;
}

// Whether neighbouring values a <= b lie far enough apart for a split
// between them.
inline bool values_apart(double a, double b) { return b > a + kFeatureThreshold; }

// Whether a split of a node of n rows into n_left rows of weight wl and
// the rest of weight wr leaves both children large enough.
inline bool children_allowed(const LearnerParams& p, std::int64_t n, std::int64_t n_left, double wl, double wr) {
    const std::int64_t msl = p.min_samples_leaf;
    if (n_left < msl || n - n_left < msl) return false;
    return !(wl < p.min_weight_leaf || wr < p.min_weight_leaf);
}

}  // namespace tavrin::kernels::learner
