// The two-class Gini threshold scan. The arithmetic is the plain IEEE
// sequence written in the comments: ties between positions and features
// are decided by exact equality, so no step may be reordered or fused.
#include "kernels/gini_scan.hpp"

namespace tavrin::kernels {

ScanStatus two_class_gini_scan(Strided<long> classes, Strided<double> num_left,
                               Strided<double> num_right, Strided<double> thresholds, int idx,
                               ScanBest& best) {
    const std::ptrdiff_t m = classes.size();
    const double md = static_cast<double>(m);
    for (std::ptrdiff_t i = 1; i < m; ++i) {
        // Invariant: the counts hold sorted rows 0 .. i-2 on the left and
        // i-1 .. m-1 on the right; this step moves row i-1 across.
        const long c = classes.load(i - 1);
        std::ptrdiff_t cl = c, cr = c;
        if (!num_left.wrap(cl)) return ScanStatus::out_of_bounds;
        num_left.store(cl, num_left.load(cl) + 1.0);
        if (!num_right.wrap(cr)) return ScanStatus::out_of_bounds;
        num_right.store(cr, num_right.load(cr) - 1.0);
        if (num_left.size() < 2 || num_right.size() < 2) return ScanStatus::out_of_bounds;

        const double id = static_cast<double>(i);
        const double rd = static_cast<double>(m - i);
        // Squares as products of the quotient with itself, summed onto 0
        // in class order, the sum taken from 1.0.
        const double l0 = num_left.load(0) / id, l1 = num_left.load(1) / id;
        double sum_left = 0.0;
        sum_left = sum_left + l0 * l0;
        sum_left = sum_left + l1 * l1;
        const double gini_left = 1.0 - sum_left;
        const double r0 = num_right.load(0) / rd, r1 = num_right.load(1) / rd;
        double sum_right = 0.0;
        sum_right = sum_right + r0 * r0;
        sum_right = sum_right + r1 * r1;
        const double gini_right = 1.0 - sum_right;
        const double gini = (id * gini_left + rd * gini_right) / md;

        if (i >= thresholds.size()) return ScanStatus::out_of_bounds;
        const double hi = thresholds.load(i), lo = thresholds.load(i - 1);
        if (hi == lo) continue;
        const double mid = (hi + lo) * 0.5;
        if (mid != mid) continue;  // NaN: no row order puts a threshold there
        if (gini < best.gini) {
            best.gini = gini;
            best.idx = idx;
            best.thr = mid;
            best.recorded = true;
        }
    }
    return ScanStatus::ok;
}

}  // namespace tavrin::kernels
