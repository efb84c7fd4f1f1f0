// One node's search of one feature. The running class weights move one
// row (or one category) at a time from the right to the left; the right
// side is always the node's totals minus the left, as the proxy expects.
#include "kernels/learner/split_search.hpp"
#include "kernels/learner/split_rule.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace tavrin::kernels::learner {

namespace {

// Far above the relative rounding error of the proxy and of its estimate.
constexpr double kFilterMargin = 1e-9;

// The filters multiply three weights together; inside this range of node
// weights such products stay normal numbers, outside it only the exact
// proxy decides.
bool estimates_hold(const NodeStats& node) { return node.weight > 1e-90 && node.weight < 1e90; }

// Rows below which unit weights keep every class count, square and sum of
// squares a whole number under 2**53 (exact in a double).
constexpr std::size_t kExactRows = std::size_t{1} << 26;
// Added to an error bound for every operation, for what underflow may lose.
constexpr double kTiny = DBL_MIN;
// A running sum of squares is summed afresh once its error bound passes
// this share of its side's squared weight (plus the bound of the fresh
// sum): far inside the filter's margin, so that few more positions pass.
constexpr double kRefresh = 0x1p-36;

// The running class weights of the left side, for any number of classes,
// and the sums of both sides' squared class weights, kept up to date a row
// at a time so that the gini filter costs as much for 3,000 classes as for
// 3 (the right side's weights are the node's totals minus the left, as the
// proxy computes them). With `Exact` (unit weights, fewer than kExactRows
// rows) every quantity is a whole number below 2**53, so the running sums
// are to the bit what Impurity::of sums in class order. Otherwise
// err_left / err_right bound how far each running sum lies from the exact
// sum of the stored weights' squares, so that sum + error is never below
// it and the filter never refuses a split the exact proxy would keep.
template <bool Exact>
struct ManyClasses {
    static constexpr bool kExactSquares = Exact;
    double* left;
    const double* totals;
    std::size_t n;
    double limit;
    double weight = 0.0;
    double sq_left = 0.0, sq_right = 0.0, err_left = 0.0, err_right = 0.0;

    ManyClasses(double* l, const double* t, std::size_t classes)
        : left(l), totals(t), n(classes), limit(kRefresh + 4.0 * static_cast<double>(classes) * DBL_EPSILON) {}

    void clear() {
        std::fill_n(left, n, 0.0);
        weight = 0.0;
        resquare();
    }
    void add(std::size_t c, double w) {
        move(c, w);
        weight += w;
    }
    // Moves weight w of class c to the left, the side's weight aside.
    void move(std::size_t c, double w) {
        const double l = left[c], l2 = l + w;
        const double r = totals[c] - l, r2 = totals[c] - l2;
        left[c] = l2;
        const double dl = l2 * l2 - l * l, dr = r2 * r2 - r * r;
        sq_left += dl;
        sq_right += dr;
        if constexpr (!Exact) {
            // Each of the two products, their difference and the sum rounds
            // by at most half an epsilon of its size; twice that is counted.
            err_left += DBL_EPSILON * (l2 * l2 + l * l + std::fabs(dl) + std::fabs(sq_left)) + 4.0 * kTiny;
            err_right += DBL_EPSILON * (r2 * r2 + r * r + std::fabs(dr) + std::fabs(sq_right)) + 4.0 * kTiny;
        }
    }
    // Weight w of many rows' class c at once (with several outputs, of
    // one output's class); their weight joins the side's apart, once per
    // row. Whole counts or weights on the fit's grid: the same sums as row
    // by row.
    void add_cell(std::size_t c, double w) { move(c, w); }
    // Both sums of squares from the class weights, in class order.
    void resquare() {
        double sl = 0.0, sr = 0.0;
        for (std::size_t c = 0; c < n; ++c) {
            const double r = totals[c] - left[c];
            sl += left[c] * left[c];
            sr += r * r;
        }
        sq_left = sl;
        sq_right = sr;
        if constexpr (!Exact) {
            const double k = 2.0 * DBL_EPSILON * static_cast<double>(n + 2);
            err_left = k * sl + 2.0 * static_cast<double>(n + 1) * kTiny;
            err_right = k * sr + 2.0 * static_cast<double>(n + 1) * kTiny;
        }
    }
    // Bounds from above on the two sums of squares, at left weight wl and
    // right weight wr.
    void squares(double wl, double wr, double& sql, double& sqr) {
        if constexpr (!Exact) {
            if (err_left > limit * (wl * wl) || err_right > limit * (wr * wr)) resquare();
        }
        sql = sq_left + err_left;
        sqr = sq_right + err_right;
    }
    void sides(const double*, double* l, double* r) const {
        for (std::size_t c = 0; c < n; ++c) {
            l[c] = left[c];
            r[c] = totals[c] - left[c];
        }
    }
};

// Several outputs: a row of code c adds its weight to its class in each
// output (cells[c * outputs + k]); the sums of squares run over every
// output's classes, so that they bound the filter (Exact as in
// ManyClasses), but the proxy itself is always the mean over the outputs
// that Impurity computes.
template <bool Exact>
struct OutputClasses : ManyClasses<Exact> {
    static constexpr bool kExactSquares = false;
    const std::uint32_t* cells;
    std::size_t outputs;

    OutputClasses(double* l, const double* t, std::size_t classes, const std::uint32_t* c, std::size_t k)
        : ManyClasses<Exact>(l, t, classes), cells(c), outputs(k) {}
    void add(std::size_t code, double w) {
        const std::uint32_t* at = cells + code * outputs;
        for (std::size_t k = 0; k < outputs; ++k) this->move(at[k], w);
        this->weight += w;
    }
};

// Two classes, held in registers: a row adds its weight to one of them
// and exactly zero to the other.
struct TwoClasses {
    static constexpr bool kExactSquares = false;
    double l0 = 0.0, l1 = 0.0, weight = 0.0;

    void clear() { l0 = l1 = weight = 0.0; }
    void add(std::size_t code, double w) {
        const double one = code ? w : 0.0;
        l1 += one;
        l0 += w - one;
        weight += w;
    }
    // Weight w of many rows' class c at once; their weight joins the
    // side's apart, once per row.
    void add_cell(std::size_t c, double w) { (c ? l1 : l0) += w; }
    void squares(const double* totals, double& sq_left, double& sq_right) const {
        const double r0 = totals[0] - l0, r1 = totals[1] - l1;
        sq_left = l0 * l0 + l1 * l1;
        sq_right = r0 * r0 + r1 * r1;
    }
    void sides(const double* totals, double* l, double* r) const {
        l[0] = l0;
        l[1] = l1;
        r[0] = totals[0] - l0;
        r[1] = totals[1] - l1;
    }
};

// The gini proxy from exact running sums of squares: what Impurity::proxy
// gives for the same class weights, without a pass over the classes.
template <class Counts>
double proxy_of_squares(const Counts& counts, double wl, double wr) {
    if constexpr (Counts::kExactSquares)
        return Impurity::children(Impurity::gini_of_squares(counts.sq_left, wl), wl,
                                  Impurity::gini_of_squares(counts.sq_right, wr), wr);
    return 0.0;
}

}  // namespace

// The exact proxy of the split, recorded when strictly better; out of
// line, since the filter in consider() spares most positions. Where the
// proxy comes from the running sums, only a split that wins copies its
// class weights.
template <class Counts>
__attribute__((noinline)) bool FeatureSearch::settle(const SearchShared& sh, const NodeStats& node,
                                                     const Counts& counts, std::int64_t n_left, double wl,
                                                     double wr, Candidate& best) {
    const bool from_squares = Counts::kExactSquares && sh.impurity.kind() == Criterion::gini;
    if (!from_squares) counts.sides(node.totals, left_.data(), right_.data());
    const double proxy = from_squares ? proxy_of_squares(counts, wl, wr)
                                      : sh.impurity.proxy(left_.data(), wl, right_.data(), wr);
    if (!(proxy > best.proxy)) return false;
    if (from_squares) counts.sides(node.totals, left_.data(), right_.data());
    best.proxy = proxy;
    best.n_left = n_left;
    best.left.assign(left_.begin(), left_.end());
    best.weight_left = wl;
    return true;
}

template <class Counts, class Distinct>
inline __attribute__((always_inline)) bool FeatureSearch::consider(const SearchShared& sh, const NodeStats& node,
                                                                   Counts& counts, std::int64_t n_left,
                                                                   Candidate& best, const Distinct& distinct) {
    const double wl = counts.weight;
    const double wr = node.weight - wl;
    if (!children_allowed(*sh.params, node.n, n_left, wl, wr)) return false;
    if (monotonic_ != 0) {
        double left0;
        if constexpr (std::is_same_v<Counts, TwoClasses>) left0 = counts.l0;
        else left0 = counts.left[0];
        if (!keeps_monotonic(monotonic_, node.bounds, left0, wl, node.totals[0] - left0, wr)) return false;
    }
    // Gini: the proxy is -(wl + wr) + (sq_left / wl + sq_right / wr) / K
    // (K outputs, the squares summed over all of them) up to a few units in
    // the last place, so a position whose multiplied-out estimate falls
    // short of the best by far more than that cannot win; only the others
    // pay for the exact expression and its divisions.
    if (sh.impurity.kind() == Criterion::gini && wr > 0.0 && estimates_hold(node)) {
        double sq_left, sq_right;
        if constexpr (std::is_same_v<Counts, TwoClasses>) counts.squares(node.totals, sq_left, sq_right);
        else counts.squares(wl, wr, sq_left, sq_right);
        const double need = std::max(best.proxy, floor_) + node.weight - kFilterMargin * node.weight;
        if (!(sq_left * wr + sq_right * wl > need * (wl * wr) * static_cast<double>(sh.outputs))) return false;
    }
    return distinct() && settle(sh, node, counts, n_left, wl, wr, best);
}

template <class Scan>
void FeatureSearch::with_counts(const SearchShared& sh, const NodeStats& node, std::size_t m, const Scan& scan) {
    const std::size_t n = sh.n_classes;
    using Unit = std::false_type;
    using Weighted = std::true_type;
    if (sh.cells && !sh.weight && m < kExactRows) {
        OutputClasses<true> counts(counts_.data(), node.totals, n, sh.cells, sh.outputs);
        scan(Unit{}, counts);
    } else if (sh.cells) {
        OutputClasses<false> counts(counts_.data(), node.totals, n, sh.cells, sh.outputs);
        if (sh.weight) scan(Weighted{}, counts);
        else scan(Unit{}, counts);
    } else if (n == 2) {
        TwoClasses counts;
        if (sh.weight) scan(Weighted{}, counts);
        else scan(Unit{}, counts);
    } else if (!sh.weight && m < kExactRows) {
        ManyClasses<true> counts(counts_.data(), node.totals, n);
        scan(Unit{}, counts);
    } else {
        ManyClasses<false> counts(counts_.data(), node.totals, n);
        if (sh.weight) scan(Weighted{}, counts);
        else scan(Unit{}, counts);
    }
}

void FeatureSearch::numeric(const SearchShared& sh, std::int64_t f, const std::uint64_t* sorted, std::size_t m,
                            const NodeStats& node, Candidate& best, double floor) {
    floor_ = floor;
    monotonic_ = sh.params->monotonic ? sh.params->monotonic[f] : 0;
    const std::size_t n = sh.n_classes;
    left_.resize(n);
    right_.resize(n);
    counts_.resize(n);
    const std::uint32_t mask = sh.tagged ? kRowMask : ~std::uint32_t{0};
    const SortedValues values{sorted, &sh.data->x, f, mask};
    if (constant_values(values, m)) return;
    const std::size_t nm = count_present(sorted, m);  // rows with a value: [0, nm)
    // Codes not carried by the entries, and weights, are gathered beside
    // the values first, so that the scans read contiguous memory.
    if (!sh.tagged) {
        codes_.resize(m);
        for (std::size_t k = 0; k < m; ++k) codes_[k] = sh.codes[entry_id(sorted[k])];
    }
    if (sh.weight) {
        weights_.resize(m);
        for (std::size_t k = 0; k < m; ++k) weights_[k] = sh.weight[entry_id(sorted[k]) & mask];
    }
    with_counts(sh, node, m, [&](auto weighted, auto& counts) {
        scan_sorted<decltype(weighted)::value>(sh, node, values, nm, m, counts, best);
    });
}

namespace {

// Rows per block of the gini scan's block test.
constexpr std::size_t kBlock = 64;

// Whether some split inside a block of a two-class gini scan could reach
// the proxy `best`. Along the block the left class weights only grow, from
// `a` to `b`, so every split of the block has its left weights in the box
// between them. Twice the proxy plus the node's weight is
// sq_left / wl + sq_right / wr, a sum of quadratic-over-linear functions of
// the left weights and so convex on the box: its largest value is at a
// corner. When no corner's estimate comes within the filter's margin, no
// split of the block can win (the per-split filter would refuse each).
bool block_may_win(const TwoClasses& a, const TwoClasses& b, const NodeStats& node, double best) {
    if (best == -std::numeric_limits<double>::infinity() || !estimates_hold(node)) return true;
    const double w = node.weight;
    const double need = best + w - kFilterMargin * w;
    const double l0s[2] = {a.l0, b.l0}, l1s[2] = {a.l1, b.l1};
    for (double l0 : l0s) {
        for (double l1 : l1s) {
            const double wl = l0 + l1, wr = w - wl;
            if (!(wl > 0.0 && wr > 0.0)) return true;
            const double r0 = node.totals[0] - l0, r1 = node.totals[1] - l1;
            const double sq_left = l0 * l0 + l1 * l1, sq_right = r0 * r0 + r1 * r1;
            if (sq_left * wr + sq_right * wl > need * (wl * wr)) return true;
        }
    }
    return false;
}

}  // namespace

template <bool Weighted, class Counts>
void FeatureSearch::scan_sorted(const SearchShared& sh, const NodeStats& node, const SortedValues& values,
                                std::size_t nm, std::size_t m, Counts& counts, Candidate& best) {
    const std::uint16_t* codes = codes_.data();
    const std::uint64_t* entries = values.entries;
    const bool tagged = sh.tagged;
    auto code_at = [=](std::size_t k) -> std::size_t { return tagged ? entry_id(entries[k]) >> kRowBits : codes[k]; };
    const double* w = weights_.data();
    auto weight_at = [w](std::size_t k) { return Weighted ? w[k] : 1.0; };
    const std::size_t n_missing = m - nm;
    const std::int64_t n_miss = static_cast<std::int64_t>(n_missing);
    constexpr bool kTwo = std::is_same_v<Counts, TwoClasses>;
    const bool blocks = kTwo && sh.impurity.kind() == Criterion::gini;
    // Adds rows [k, k + kBlock) to the counts; with unit weights, as whole
    // numbers (exact, so in any order), otherwise one by one as a split
    // would.
    auto add_block = [&](std::size_t k) {
        if constexpr (kTwo && !Weighted) {
            std::uint32_t ones = 0;
            if (tagged)
                for (std::size_t i = k; i < k + kBlock; ++i) ones += entry_id(entries[i]) >> kRowBits;
            else
                for (std::size_t i = k; i < k + kBlock; ++i) ones += codes[i];
            counts.l1 += static_cast<double>(ones);
            counts.l0 += static_cast<double>(kBlock - ones);
            counts.weight += static_cast<double>(kBlock);
        } else {
            for (std::size_t i = k; i < k + kBlock; ++i) counts.add(code_at(i), weight_at(i));
        }
    };
    // Skips whole blocks of rows from k on, ending by `limit`, while none of
    // their splits can win; returns where to go on one row at a time (the
    // counts hold the rows before it).
    auto skip = [&](std::size_t k, std::size_t limit) {
        if constexpr (kTwo) {
            if (!blocks) return k;
            while (k + kBlock <= limit) {
                const Counts before = counts;
                add_block(k);
                if (block_may_win(before, counts, node, std::max(best.proxy, floor_))) {
                    counts = before;
                    return k;
                }
                k += kBlock;
            }
        }
        return k;
    };

    // Missing values right: positions p = 1 .. nm, rows [0, p) left; p = nm
    // (every value left, the missing rows alone right) only with missing rows.
    // Whether a position lies between two values further apart than
    // kFeatureThreshold is asked only for a position that could win.
    counts.clear();
    // Blocks end before row nm - 1: their positions are all below nm.
    for (std::size_t k = 0, next = 0; k < nm; ++k) {
        if (k == next) {
            k = skip(k, nm - 1);
            next = k + kBlock;
        }
        counts.add(code_at(k), weight_at(k));
        const std::size_t p = k + 1;
        if (p == nm && n_missing == 0) break;
        const std::int64_t n_left = static_cast<std::int64_t>(p);
        if (consider(sh, node, counts, n_left, best, [&] { return p == nm || values.apart(k, p); })) {
            best.at = k;
            best.at_end = p == nm;
            // A node without missing rows sends them, later, to its larger side.
            best.missing_left = n_missing == 0 && n_left > node.n - n_left;
        }
    }
    if (n_missing == 0) return;
    // Missing values left: the missing rows and rows [0, k] of the values.
    counts.clear();
    for (std::size_t k = nm; k < m; ++k) counts.add(code_at(k), weight_at(k));
    for (std::size_t k = 0, next = 0; k + 1 < nm; ++k) {
        if (k == next) {
            k = skip(k, nm - 1);
            next = k + kBlock;
            if (k + 1 == nm) break;
        }
        counts.add(code_at(k), weight_at(k));
        if (consider(sh, node, counts, n_miss + static_cast<std::int64_t>(k + 1), best,
                     [&] { return values.apart(k, k + 1); })) {
            best.at = k;
            best.at_end = false;
            best.missing_left = true;
        }
    }
}

void FeatureSearch::sparse_numeric(const SearchShared& sh, std::int64_t f, const SparseRun& run, std::size_t m,
                                   const NodeStats& node, Candidate& best, double floor) {
    floor_ = floor;
    monotonic_ = sh.params->monotonic ? sh.params->monotonic[f] : 0;
    const SparseSteps steps(run, m);
    if (steps.constant()) return;
    const std::size_t n = sh.n_classes;
    left_.resize(n);
    right_.resize(n);
    counts_.resize(n);
    // The zeros' class weights: the node's less its stored rows' (exact
    // differences, the weights lying on the fit's grid).
    zeros_.assign(node.totals, node.totals + n);
    double stored = 0.0;  // the stored rows' weight
    if (n == 2 && !sh.cells && !sh.weight) {
        std::size_t ones = 0;
        for (std::size_t k = 0; k < run.count; ++k) ones += sh.codes[run.row(k)];
        zeros_[0] -= static_cast<double>(run.count - ones);
        zeros_[1] -= static_cast<double>(ones);
        stored = static_cast<double>(run.count);
    } else {
        for (std::size_t k = 0; k < run.count; ++k) {
            const std::uint32_t r = run.row(k);
            const double w = sh.weight ? sh.weight[r] : 1.0;
            sh.add_to(zeros_.data(), sh.codes[r], -w);
            stored += w;
        }
    }
    zero_weight_ = node.weight - stored;
    with_counts(sh, node, m, [&](auto weighted, auto& counts) {
        scan_sparse<decltype(weighted)::value>(sh, node, steps, counts, best);
    });
}

template <bool Weighted, class Counts>
void FeatureSearch::scan_sparse(const SearchShared& sh, const NodeStats& node, const SparseSteps& steps,
                                Counts& counts, Candidate& best) {
    const SparseRun& run = steps.run;
    const std::size_t n_missing = run.n_missing, m = run.count + steps.zeros, nm = m - n_missing;
    const std::size_t n_steps = steps.count();
    auto add_entry = [&](std::size_t k) {
        const std::uint32_t r = run.row(k);
        counts.add(sh.codes[r], Weighted ? sh.weight[r] : 1.0);
    };
    // Adds step j; returns its rows.
    auto add_step = [&](std::size_t j) -> std::size_t {
        if (!steps.is_zeros(j)) {
            add_entry(steps.entry(j));
            return 1;
        }
        for (std::size_t c = 0; c < sh.n_classes; ++c)
            if (zeros_[c] != 0.0) counts.add_cell(c, zeros_[c]);
        counts.weight += zero_weight_;
        return steps.zeros;
    };
    auto between = [&](std::size_t j) { return midpoint(steps.value(j), steps.value(j + 1)); };
    // Missing values right; as scan_sorted, at the end of each step only
    // (within one the values are equal: no split).
    counts.clear();
    std::size_t p = 0;
    for (std::size_t j = 0; j < n_steps; ++j) {
        p += add_step(j);
        if (p == nm && n_missing == 0) break;
        const std::int64_t n_left = static_cast<std::int64_t>(p);
        if (consider(sh, node, counts, n_left, best,
                     [&] { return p == nm || values_apart(steps.value(j), steps.value(j + 1)); })) {
            best.threshold = p == nm ? std::numeric_limits<double>::infinity() : between(j);
            best.missing_left = n_missing == 0 && n_left > node.n - n_left;
        }
    }
    if (n_missing == 0) return;
    // Missing values left.
    counts.clear();
    for (std::size_t k = run.count - n_missing; k < run.count; ++k) add_entry(k);
    p = 0;
    for (std::size_t j = 0; j < n_steps; ++j) {
        p += add_step(j);
        if (p == nm) break;
        if (consider(sh, node, counts, static_cast<std::int64_t>(n_missing + p), best,
                     [&] { return values_apart(steps.value(j), steps.value(j + 1)); })) {
            best.threshold = between(j);
            best.missing_left = true;
        }
    }
}

void FeatureSearch::categorical(const SearchShared& sh, std::int64_t f, const std::uint32_t* rows,
                                std::size_t m, const NodeStats& node, Candidate& best) {
    floor_ = -std::numeric_limits<double>::infinity();
    monotonic_ = 0;
    const std::size_t n = sh.n_classes;
    const std::size_t k = static_cast<std::size_t>(sh.data->n_categories[f]);
    left_.resize(n);
    right_.resize(n);
    counts_.resize(n);
    missing_.assign(n, 0.0);
    // The per-category tables are as wide as the column but stay zero
    // between searches: a search zeroes again only the categories it saw,
    // so a node costs its rows and its categories, not the column's width.
    if (cat_weight_.size() < k) {
        cat_counts_.resize(k * n, 0.0);
        cat_weight_.resize(k, 0.0);
        cat_rows_.resize(k, 0);
        share_.resize(k);
    }
    std::vector<std::int32_t>& present = present_;
    present.clear();
    double missing_weight = 0.0;
    std::int64_t n_missing = 0;
    const RowView& x = sh.data->x;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t r = rows[i];
        const double v = x.at(r, f);
        const double w = sh.weight ? sh.weight[r] : 1.0;
        const std::size_t code = static_cast<std::size_t>(sh.codes[r]);
        // The codes were checked before the fit; a value out of range here
        // (the caller changed X meanwhile) counts as missing, never as an index.
        if (!(v >= 0.0 && v < static_cast<double>(k))) {  // NaN too
            sh.add_to(missing_.data(), code, w);
            missing_weight += w;
            ++n_missing;
            continue;
        }
        const std::size_t cat = static_cast<std::size_t>(v);
        if (cat_rows_[cat]++ == 0) present.push_back(static_cast<std::int32_t>(cat));
        sh.add_to(&cat_counts_[cat * n], code, w);
        cat_weight_[cat] += w;
    }
    std::sort(present.begin(), present.end());  // code order: the orders' ties keep it
    search_categories(sh, node, n_missing, missing_weight, best);
    for (std::int32_t c : present) {
        const std::size_t cc = static_cast<std::size_t>(c);
        std::fill_n(&cat_counts_[cc * n], n, 0.0);
        cat_weight_[cc] = 0.0;
        cat_rows_[cc] = 0;
    }
}

void FeatureSearch::categorical_counts(const SearchShared& sh, std::size_t k, const double* table,
                                       const NodeStats& node, Candidate& best) {
    floor_ = -std::numeric_limits<double>::infinity();
    monotonic_ = 0;
    const std::size_t n = sh.n_classes, width = n + 1;
    left_.resize(n);
    right_.resize(n);
    counts_.resize(n);
    cat_counts_.assign(k * n, 0.0);
    cat_weight_.assign(k, 0.0);
    cat_rows_.assign(k, 0);
    share_.resize(k);
    present_.clear();
    for (std::size_t c = 0; c < k; ++c) {
        const double* cell = table + c * width;
        if (cell[n] == 0.0) continue;
        present_.push_back(static_cast<std::int32_t>(c));
        std::copy(cell, cell + n, &cat_counts_[c * n]);
        for (std::size_t j = 0; j < n; ++j) cat_weight_[c] += cell[j];
        cat_rows_[c] = static_cast<std::int64_t>(cell[n]);
    }
    const double* missing = table + k * width;
    missing_.assign(missing, missing + n);
    double missing_weight = 0.0;
    for (std::size_t j = 0; j < n; ++j) missing_weight += missing[j];
    search_categories(sh, node, static_cast<std::int64_t>(missing[n]), missing_weight, best);
    // categorical() expects zeroed tables.
    std::fill(cat_counts_.begin(), cat_counts_.end(), 0.0);
    std::fill(cat_weight_.begin(), cat_weight_.end(), 0.0);
    std::fill(cat_rows_.begin(), cat_rows_.end(), 0);
}

void FeatureSearch::search_categories(const SearchShared& sh, const NodeStats& node, std::int64_t n_missing,
                                      double missing_weight, Candidate& best) {
    const std::size_t n = sh.n_classes;
    const std::vector<std::int32_t>& present = present_;
    const std::size_t g = present.size();
    if (g == 0 || (g == 1 && n_missing == 0)) return;

    // Orders by the share of one class: with two classes the share of
    // class 1 (the other order is its reverse, the same subsets); with more
    // (or several outputs), one order per class.
    const std::size_t first_class = n == 2 && sh.outputs == 1 ? 1 : 0;
    for (std::size_t oc = first_class; oc < n; ++oc) {
        for (std::int32_t c : present)
            share_[static_cast<std::size_t>(c)] =
                cat_counts_[static_cast<std::size_t>(c) * n + oc] / cat_weight_[static_cast<std::size_t>(c)];
        order_.assign(present.begin(), present.end());
        std::stable_sort(order_.begin(), order_.end(), [&](std::int32_t a, std::int32_t b) {
            return share_[static_cast<std::size_t>(a)] < share_[static_cast<std::size_t>(b)];
        });
        std::int64_t n_left = 0;
        ManyClasses<false> counts(counts_.data(), node.totals, n);
        auto move = [&](std::int32_t c) {
            const std::size_t cc = static_cast<std::size_t>(c);
            for (std::size_t j = 0; j < n; ++j) counts.left[j] += cat_counts_[cc * n + j];
            counts.weight += cat_weight_[cc];
            counts.resquare();
            n_left += cat_rows_[cc];
        };
        auto record = [&](std::size_t prefix, bool missing_left) {
            best.order.assign(order_.begin(), order_.end());
            best.prefix = prefix;
            best.missing_left = missing_left;
            best.threshold = std::numeric_limits<double>::quiet_NaN();
        };
        // Missing values right: prefixes 1 .. g-1, and all g with missing rows.
        counts.clear();
        for (std::size_t j = 0; j < g; ++j) {
            move(order_[j]);
            if (j + 1 == g && n_missing == 0) break;
            if (consider(sh, node, counts, n_left, best, [] { return true; }))
                record(j + 1, n_missing == 0 ? n_left > node.n - n_left : false);
        }
        if (n_missing == 0) continue;
        // Missing values left with prefixes 1 .. g-1.
        std::copy(missing_.begin(), missing_.end(), counts.left);
        counts.weight = missing_weight;
        counts.resquare();
        n_left = n_missing;
        for (std::size_t j = 0; j + 1 < g; ++j) {
            move(order_[j]);
            if (consider(sh, node, counts, n_left, best, [] { return true; })) record(j + 1, true);
        }
    }
}

}  // namespace tavrin::kernels::learner
