// One node's scan of one feature. The arithmetic is the step-by-step
// search's, operation for operation: a position's impurity comes from the
// same counts through the same sequence of IEEE operations, positions
// whose neighbouring values are equal or whose midpoint is NaN are no
// candidates, and a position is recorded only when strictly below the best
// so far.
#include "kernels/node_scan.hpp"

#include "kernels/class_sweep.hpp"

#include <algorithm>
#include <cstring>

namespace tavrin::kernels {

namespace {

// Squares as products, summed onto 0 in class order, from 1.0; codes 0
// and 1 only (a one-class target reads zero for code 1).
double two_class_side(const long long* counts, std::size_t n_classes, double divisor) {
    const double q0 = static_cast<double>(counts[0]) / divisor;
    const double q1 = n_classes > 1 ? static_cast<double>(counts[1]) / divisor : 0.0 / divisor;
    double sum = 0.0;
    sum = sum + q0 * q0;
    sum = sum + q1 * q1;
    return 1.0 - sum;
}

// Equal means imply equal class shares only with two classes and counts
// small enough that distinct shares are distinct doubles.
constexpr long long kShareExactRows = 1LL << 26;

}  // namespace

double position_gini(ImpurityRule rule, const long long* left, const long long* right,
                     std::size_t n_classes, long long i, long long m) {
    const double id = static_cast<double>(i);
    const double rd = static_cast<double>(m - i);
    double gl, gr;
    if (rule == ImpurityRule::two_class) {
        gl = two_class_side(left, n_classes, id);
        gr = two_class_side(right, n_classes, rd);
    } else {
        gl = side_impurity(left, n_classes, id);
        gr = side_impurity(right, n_classes, rd);
    }
    return (id * gl + rd * gr) / static_cast<double>(m);
}

namespace {

// Moves the scan from value `lo` to `hi`. True when the position between
// them is a candidate: the values differ and their midpoint (a + b) * 0.5
// is a number, left in `mid`.
inline bool candidate(double hi, double& lo, double& mid) {
    const double prev = lo;
    lo = hi;
    if (hi == prev) return false;
    mid = (hi + prev) * 0.5;
    return mid == mid;
}

// scan_numeric for the typed scan's rule with two classes: the counts of
// codes 0 and 1 kept as the doubles the typed scan holds, the impurity
// written out as position_gini computes it.
//
// Most positions are far from the best: a cheap estimate of the impurity,
// from multiplications only, rules them out first. With P the "purity"
// (l0^2 + l1^2) / i + (r0^2 + r1^2) / (m - i), the impurity is 1 - P / m;
// both the estimate of P and the exact impurity are within a few units
// in the last place of the true values, far inside kFilterMargin, so a
// position whose estimate does not exceed (1 - best - margin) * m cannot
// have an exact impurity below best.
constexpr double kFilterMargin = 1e-9;

// The node's values and a per-row class mark side by side, in sorted
// order: independent loads that the processor overlaps, ahead of a scan
// over contiguous memory. Values already kept in sorted order
// (`sorted_values`) are read where they are. Returns the values.
template <class Mark>
const double* gather(const BuildColumn& col, const std::uint32_t* sorted, std::size_t m, const Mark* by_row,
                     const double* sorted_values, ScanScratch& s, Mark* marks) {
    constexpr std::size_t kAhead = 16;  // rows: far rows come from memory, not cache
    if (sorted_values) {
        for (std::size_t k = 0; k < m; ++k) marks[k] = by_row[sorted[k]];
        return sorted_values;
    }
    s.values.resize(m);
    double* values = s.values.data();
    const char* data = col.data;
    const std::ptrdiff_t stride = col.stride;
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint32_t r = sorted[k];
#if defined(__GNUC__)
        if (k + kAhead < m) {
            __builtin_prefetch(data + static_cast<std::ptrdiff_t>(sorted[k + kAhead]) * stride);
            __builtin_prefetch(by_row + sorted[k + kAhead]);
        }
#endif
        std::memcpy(&values[k], data + static_cast<std::ptrdiff_t>(r) * stride, sizeof(double));
        marks[k] = by_row[r];
    }
    return values;
}

// Rows per block of the two-class scan's block test.
constexpr std::size_t kScanBlock = 64;

// Whether some position of a block could pass the two-class filter. Along
// the block the left counts only grow, from (a0, a1) to (b0, b1), so every
// position's left counts lie in the box between them. The purity
// (l0^2 + l1^2) / (l0 + l1) + (r0^2 + r1^2) / (m - l0 - l1) is a sum of
// quadratic-over-linear functions of the left counts, convex on the box,
// so its largest value there is at a corner; corners' estimates carry the
// same few units of rounding as a position's, far inside the filter's
// margin. No corner above `need`: no position of the block passes.
bool block_may_pass(double a0, double a1, double b0, double b1, double t0, double t1, std::size_t m,
                    const double* inverse, double need) {
    const double l0s[2] = {a0, b0}, l1s[2] = {a1, b1};
    for (double c0 : l0s) {
        for (double c1 : l1s) {
            const double left = c0 + c1;
            if (!(left > 0.0 && left < static_cast<double>(m))) return true;
            const std::size_t i = static_cast<std::size_t>(left);
            const double r0 = t0 - c0, r1 = t1 - c1;
            if ((c0 * c0 + c1 * c1) * inverse[i] + (r0 * r0 + r1 * r1) * inverse[m - i] > need) return true;
        }
    }
    return false;
}

// Whether position i (row i - 1 moving left) starts a block of kScanBlock
// rows whose positions all come before the last one, m - 1.
inline bool block_starts(std::size_t i, std::size_t m) {
    return (i - 1) % kScanBlock == 0 && i - 1 + kScanBlock < m;
}

// The rows of class 1 among the block's rows, first .. first + kScanBlock.
template <class Mark>
long long block_ones(const Mark* marks, std::size_t first) {
    long long ones = 0;
    for (std::size_t k = first; k < first + kScanBlock; ++k) ones += marks[k];
    return ones;
}

void scan_numeric_two_classes(const BuildInput& /*in*/, const BuildColumn& col, std::int32_t feature,
                              const std::uint32_t* sorted, const double* sorted_values, std::size_t m,
                              const long long* totals, const double* inverse, ScanScratch& s,
                              NodeBest& best) {
    const double t0 = static_cast<double>(totals[0]), t1 = static_cast<double>(totals[1]);
    const double md = static_cast<double>(m);
    double need = (1.0 - best.gini - kFilterMargin) * md;
    s.ones.resize(m);
    unsigned char* ones = s.ones.data();
    const double* values = gather(col, sorted, m, s.row_is_one.data(), sorted_values, s, ones);
    double l0 = 0.0, l1 = 0.0;
    double lo = values[0];
    for (std::size_t i = 1; i < m; ++i) {
        // At the start of a block of kScanBlock rows that ends before the
        // last position, skip it whole when no split inside can pass the
        // filter: the rows it moves left are added, and the scan goes on
        // after its last position.
        if (block_starts(i, m)) {
            const long long moved = block_ones(ones, i - 1);
            const double b1 = l1 + static_cast<double>(moved);
            const double b0 = l0 + static_cast<double>(static_cast<long long>(kScanBlock) - moved);
            if (!block_may_pass(l0, l1, b0, b1, t0, t1, m, inverse, need)) {
                l0 = b0;
                l1 = b1;
                i += kScanBlock - 1;  // the block's last position was i + kScanBlock - 1
                lo = values[i];
                continue;
            }
        }
        const double one = ones[i - 1];
        l1 += one;
        l0 += 1.0 - one;
        const double hi = values[i];
        if (hi != hi) break;  // NaN from here on: every midpoint is NaN
        double mid;
        if (!candidate(hi, lo, mid)) continue;
        const double r0 = t0 - l0, r1 = t1 - l1;
        const double purity = (l0 * l0 + l1 * l1) * inverse[i] + (r0 * r0 + r1 * r1) * inverse[m - i];
        if (!(purity > need)) continue;
        const double id = static_cast<double>(i), rd = static_cast<double>(m - i);
        const double ql0 = l0 / id, ql1 = l1 / id;
        double sum_left = 0.0;
        sum_left = sum_left + ql0 * ql0;
        sum_left = sum_left + ql1 * ql1;
        const double qr0 = r0 / rd, qr1 = r1 / rd;
        double sum_right = 0.0;
        sum_right = sum_right + qr0 * qr0;
        sum_right = sum_right + qr1 * qr1;
        const double gini = (id * (1.0 - sum_left) + rd * (1.0 - sum_right)) / md;
        if (gini < best.gini) {
            best.gini = gini;
            best.feature = feature;
            best.threshold = mid;
            need = (1.0 - best.gini - kFilterMargin) * md;
        }
    }
}

// scan_numeric for any number of classes and either rule, with the same
// filter as the two-class scan: the purity sum(l_c^2) / i + sum(r_c^2) /
// (m - i) over the classes the rule weighs, its two sums kept as exact
// integers (below 2**62 for fewer than 2**31 rows) and moved by one row
// at each step, rules a position out before its exact impurity (a power
// per class and side) is computed. Over at most 2**16 classes, the
// estimate and the exact impurity are within about 1e-11 of the true
// values: far inside kFilterMargin.
void scan_numeric_filtered(const BuildInput& in, const BuildColumn& col, std::int32_t feature,
                           const std::uint32_t* sorted, const double* sorted_values, std::size_t m,
                           const long long* totals, ScanScratch& s, NodeBest& best) {
    const std::size_t n = in.n_classes;
    const std::size_t weighed = in.rule == ImpurityRule::two_class && n > 2 ? 2 : n;
    s.left.assign(n, 0);
    s.right.assign(totals, totals + n);
    long long* left = s.left.data();
    long long* right = s.right.data();
    long long sum_left = 0, sum_right = 0;
    for (std::size_t c = 0; c < weighed; ++c) sum_right += totals[c] * totals[c];
    s.node_codes.resize(m);
    std::int32_t* codes = s.node_codes.data();
    const double* values = gather(col, sorted, m, in.codes, sorted_values, s, codes);
    const double* inverse = s.inverse.data();
    const double md = static_cast<double>(m);
    double need = (1.0 - best.gini - kFilterMargin) * md;
    double lo = values[0];
    // Invariant: left holds the classes of rows 0 .. i-2 in sorted order,
    // sum_left and sum_right the squares of the weighed counts; the step
    // moves row i-1 across.
    const double t0 = static_cast<double>(totals[0]), t1 = n == 2 ? static_cast<double>(totals[1]) : 0.0;
    for (std::size_t i = 1; i < m; ++i) {
        // Two classes: blocks of rows skipped whole, as in the two-class scan.
        if (n == 2 && block_starts(i, m)) {
            const long long moved = block_ones(codes, i - 1);
            const long long b0 = left[0] + static_cast<long long>(kScanBlock) - moved, b1 = left[1] + moved;
            if (!block_may_pass(static_cast<double>(left[0]), static_cast<double>(left[1]), static_cast<double>(b0),
                                static_cast<double>(b1), t0, t1, m, inverse, need)) {
                left[0] = b0;
                left[1] = b1;
                right[0] = totals[0] - b0;
                right[1] = totals[1] - b1;
                sum_left = left[0] * left[0] + left[1] * left[1];
                sum_right = right[0] * right[0] + right[1] * right[1];
                i += kScanBlock - 1;
                lo = values[i];
                continue;
            }
        }
        const std::size_t c = static_cast<std::size_t>(codes[i - 1]);
        if (c < weighed) {
            sum_left += 2 * left[c] + 1;
            sum_right -= 2 * right[c] - 1;
        }
        ++left[c];
        --right[c];
        const double hi = values[i];
        if (hi != hi) break;  // NaN from here on: every midpoint is NaN
        double mid;
        if (!candidate(hi, lo, mid)) continue;
        const double purity = static_cast<double>(sum_left) * inverse[i] +
                              static_cast<double>(sum_right) * inverse[m - i];
        if (!(purity > need)) continue;
        const double gini = position_gini(in.rule, left, right, n, static_cast<long long>(i),
                                          static_cast<long long>(m));
        if (gini < best.gini) {
            best.gini = gini;
            best.feature = feature;
            best.threshold = mid;
            need = (1.0 - best.gini - kFilterMargin) * md;
        }
    }
}

}  // namespace

void scan_numeric(const BuildInput& in, const BuildColumn& col, std::int32_t feature,
                  const std::uint32_t* sorted, const double* sorted_values, std::size_t m,
                  const long long* totals, ScanScratch& s, NodeBest& best) {
    if (in.n_classes == 2 && in.rule == ImpurityRule::two_class)
        return scan_numeric_two_classes(in, col, feature, sorted, sorted_values, m, totals, s.inverse.data(),
                                        s, best);
    scan_numeric_filtered(in, col, feature, sorted, sorted_values, m, totals, s, best);
}

namespace {

// Groups the node's rows by category: rows and class counts per rank, the
// ranks present in ascending order, and their mean class codes.
void group_rows(const BuildInput& in, const BuildColumn& col, const std::uint32_t* rows,
                std::size_t m, ScanScratch& s) {
    const std::size_t n = in.n_classes;
    const std::size_t g = static_cast<std::size_t>(col.n_ranks);
    s.group_rows.assign(g, 0);
    s.group_counts.assign(g * n, 0);
    for (std::size_t k = 0; k < m; ++k) {
        const std::int32_t r = col.ranks[rows[k]];
        if (r < 0) continue;
        ++s.group_rows[static_cast<std::size_t>(r)];
        ++s.group_counts[static_cast<std::size_t>(r) * n + static_cast<std::size_t>(in.codes[rows[k]])];
    }
    s.present.clear();
    s.means.clear();
    for (std::size_t r = 0; r < g; ++r) {
        if (!s.group_rows[r]) continue;
        long long code_sum = 0;
        for (std::size_t c = 1; c < n; ++c) code_sum += static_cast<long long>(c) * s.group_counts[r * n + c];
        s.present.push_back(static_cast<std::int32_t>(r));
        // The group mean: an exact sum of small integers over the count.
        s.means.push_back(static_cast<double>(code_sum) / static_cast<double>(s.group_rows[r]));
    }
}

// Moves the rows of group g (rank s.present[g]) from right to left.
void move_group(const ScanScratch& s, std::size_t n, std::int32_t g, long long* left,
                long long* right, long long& i) {
    const std::size_t r = static_cast<std::size_t>(s.present[static_cast<std::size_t>(g)]);
    const long long* counts = &s.group_counts[r * n];
    for (std::size_t c = 0; c < n; ++c) {
        left[c] += counts[c];
        right[c] -= counts[c];
    }
    i += s.group_rows[r];
}

double mean_at(const ScanScratch& s, std::size_t k) {
    return s.means[static_cast<std::size_t>(s.order[k])];
}

// With two classes every group of a block of equal means has the same
// class shares, so a boundary inside the block sees the rows left of the
// block plus t rows in those shares, whatever the block's order. True when
// no such t goes below `best_gini`: then the block's order cannot change
// what the search records.
bool block_interior_harmless(const BuildInput& in, const ScanScratch& s, std::size_t first,
                             std::size_t last, const long long* left, long long i, long long m,
                             const long long* totals, double best_gini) {
    long long rows = 0, ones = 0;
    for (std::size_t k = first; k <= last; ++k) {
        const std::size_t r = static_cast<std::size_t>(s.present[static_cast<std::size_t>(s.order[k])]);
        rows += s.group_rows[r];
        ones += s.group_counts[r * 2 + 1];
    }
    long long l[2], rt[2];
    for (long long t = 1; t < rows; ++t) {
        if ((ones * t) % rows != 0) continue;  // no set of whole groups has t rows
        const long long t1 = ones * t / rows;
        l[0] = left[0] + (t - t1);
        l[1] = left[1] + t1;
        rt[0] = totals[0] - l[0];
        rt[1] = totals[1] - l[1];
        if (position_gini(in.rule, l, rt, 2, i + t, m) < best_gini) return false;
    }
    return true;
}

// Scans the code boundaries of s.order (code k = group s.order[k]). With
// `skip_ties`, the boundaries inside a block of equal means are not
// scanned but proven harmless first; false when one is not.
bool scan_boundaries(const BuildInput& in, std::int32_t feature, long long m,
                     const long long* totals, bool skip_ties, ScanScratch& s, NodeBest& best) {
    const std::size_t n = in.n_classes;
    const std::size_t groups = s.order.size();
    s.left.assign(n, 0);
    s.right.assign(totals, totals + n);
    long long* left = s.left.data();
    long long* right = s.right.data();
    long long i = 0;
    auto block_from = [&](std::size_t first) {
        std::size_t last = first + 1;
        while (last + 1 < groups && mean_at(s, last + 1) == mean_at(s, first)) ++last;
        return block_interior_harmless(in, s, first, last, left, i, m, totals, best.gini);
    };
    if (skip_ties && groups > 1 && mean_at(s, 0) == mean_at(s, 1) && !block_from(0)) return false;
    // Invariant: left holds the groups of codes 0 .. k-2; the step moves
    // code k-1 across and looks at the boundary between k-1 and k.
    for (std::size_t k = 1; k < groups; ++k) {
        move_group(s, n, s.order[k - 1], left, right, i);
        if (skip_ties && mean_at(s, k - 1) == mean_at(s, k)) continue;
        // Codes k-1 and k, as the sorted thresholds hold them.
        const double mid = (static_cast<double>(k) + static_cast<double>(k - 1)) * 0.5;
        const double gini = position_gini(in.rule, left, right, n, i, m);
        if (gini < best.gini) {
            best.gini = gini;
            best.feature = feature;
            best.threshold = mid;
        }
        if (skip_ties && k + 1 < groups && mean_at(s, k) == mean_at(s, k + 1) && !block_from(k))
            return false;
    }
    return true;
}

// s.order as numpy's argsort(kind="quicksort") of s.means gives it.
bool numpy_order(const BuildInput& in, ScanScratch& s) {
    std::vector<std::int32_t> perm;
    if (!in.ties || !in.ties->order(s.means, perm) || perm.size() != s.means.size()) return false;
    for (std::int32_t g : perm)
        if (g < 0 || static_cast<std::size_t>(g) >= s.means.size()) return false;
    s.order = std::move(perm);
    return true;
}

void ranks_in_code_order(const ScanScratch& s, std::vector<std::int32_t>& out) {
    out.clear();
    for (std::int32_t g : s.order) out.push_back(s.present[static_cast<std::size_t>(g)]);
}

}  // namespace

bool scan_categorical(const BuildInput& in, const BuildColumn& col, std::int32_t feature,
                      const std::uint32_t* rows, std::size_t m, const long long* totals,
                      ScanScratch& s, NodeBest& best) {
    group_rows(in, col, rows, m, s);
    const std::size_t groups = s.means.size();
    s.order.resize(groups);
    for (std::size_t g = 0; g < groups; ++g) s.order[g] = static_cast<std::int32_t>(g);
    std::stable_sort(s.order.begin(), s.order.end(), [&](std::int32_t a, std::int32_t b) {
        return s.means[static_cast<std::size_t>(a)] < s.means[static_cast<std::size_t>(b)];
    });
    bool ties = false;
    for (std::size_t k = 1; k < groups && !ties; ++k) ties = mean_at(s, k - 1) == mean_at(s, k);

    const long long rows_m = static_cast<long long>(m);
    const bool shares_follow_means =
        in.n_classes == 2 && static_cast<long long>(in.rows) < kShareExactRows;
    NodeBest trial;
    trial.gini = best.gini;
    bool exact = !ties;
    if (!ties) {
        scan_boundaries(in, feature, rows_m, totals, false, s, trial);
    } else if (!shares_follow_means || !scan_boundaries(in, feature, rows_m, totals, true, s, trial)) {
        // The order among equal means can decide the search: take numpy's.
        if (!numpy_order(in, s)) return false;
        trial = NodeBest{};
        trial.gini = best.gini;
        scan_boundaries(in, feature, rows_m, totals, false, s, trial);
        exact = true;
    }
    if (trial.feature >= 0) {
        best.gini = trial.gini;
        best.feature = feature;
        best.threshold = trial.threshold;
        ranks_in_code_order(s, best.cat_order);
        best.cat_order_exact = exact;
        best.cat_means = s.means;
        best.cat_present = s.present;
    }
    return true;
}

bool settle_category_order(const BuildInput& in, ScanScratch& s, NodeBest& best) {
    if (best.cat_order_exact) return true;
    s.means = best.cat_means;
    s.present = best.cat_present;
    if (!numpy_order(in, s)) return false;
    ranks_in_code_order(s, best.cat_order);
    best.cat_order_exact = true;
    return true;
}

}  // namespace tavrin::kernels
