// Random splits: the draw of a threshold or a category subset, the
// count of the class weights it sends left, and the same judgement as a
// best split's (minimum leaf sizes and weights, monotonic constraints,
// Impurity::proxy).
#include "kernels/learner/random_split.hpp"

#include <algorithm>
#include <limits>

namespace tavrin::kernels::learner {

namespace {

// Categories drawn again when a draw puts every group on one side; past
// this many (a chance of 2**-64 with two groups), one group is moved over.
constexpr int kSubsetDraws = 64;

// A threshold uniform in [lo, hi) (lo < hi): lo plus a fraction of the
// range, in halves so that no step overflows; lo where rounding reaches hi.
double draw_threshold(double lo, double hi, Draws& draws) {
    const double half = hi / 2.0 - lo / 2.0, u = draws.unit();
    const double t = (lo + half * u) + half * u;
    return (t >= lo && t < hi) ? t : lo;
}

}  // namespace

bool draw_numeric_split(double lo, double hi, std::size_t n_missing, std::size_t m, Draws& draws, double& threshold,
                        bool& missing_left) {
    if (constant_span(lo, hi, n_missing, m)) return false;
    threshold = lo < hi ? draw_threshold(lo, hi, draws) : lo;
    missing_left = n_missing > 0 && draws.coin();
    return true;
}

bool constant_categories(const RowView& x, std::int64_t f, std::int64_t n_categories, const std::uint32_t* rows,
                         std::size_t m) {
    double first = std::numeric_limits<double>::quiet_NaN();
    bool missing = false;
    for (std::size_t i = 0; i < m; ++i) {
        const double v = x.at(rows[i], f);
        if (!(v >= 0.0 && v < static_cast<double>(n_categories))) {  // NaN too: missing
            missing = true;
        } else if (first != first) {
            first = v;
        } else if (v != first) {
            return false;
        }
        if (missing && first == first) return false;
    }
    return true;
}

void RandomSearch::add(const SearchShared& sh, std::uint32_t row) {
    const double w = sh.weight ? sh.weight[row] : 1.0;
    sh.add_to(left_.data(), sh.codes[row], w);
    weight_left_ += w;
}

bool RandomSearch::settle(const SearchShared& sh, const NodeStats& node, std::int8_t monotonic,
                          std::int64_t n_left, Candidate& best) {
    const std::int64_t msl = sh.params->min_samples_leaf;
    if (n_left < msl || node.n - n_left < msl) return false;
    const double wl = weight_left_, wr = node.weight - wl;
    const double mwl = sh.params->min_weight_leaf;
    if (wl < mwl || wr < mwl) return false;
    const std::size_t n = sh.n_classes;
    for (std::size_t c = 0; c < n; ++c) right_[c] = node.totals[c] - left_[c];
    if (monotonic != 0 && !keeps_monotonic(monotonic, node.bounds, left_[0], wl, right_[0], wr)) return false;
    const double proxy = sh.impurity.proxy(left_.data(), wl, right_.data(), wr);
    if (!(proxy > best.proxy)) return false;
    best.proxy = proxy;
    best.n_left = n_left;
    best.left.assign(left_.begin(), left_.end());
    best.weight_left = wl;
    return true;
}

bool constant_numeric(const RowView& x, std::int64_t f, const std::uint32_t* rows, std::size_t m) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    std::size_t n_missing = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const double v = x.at(rows[i], f);
        if (v != v) {
            ++n_missing;
        } else {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        if (n_missing != i + 1 && !constant_span(lo, hi, n_missing, i + 1)) return false;
    }
    return true;
}

void RandomSearch::numeric(const SearchShared& sh, std::int64_t f, const double* values,
                           const std::uint16_t* codes, const double* weights, std::size_t m, const NodeStats& node,
                           Draws& draws, Candidate& best) {
    numeric(sh, f, values, codes, weights, m, span_of(values, m), node, draws, best);
}

void RandomSearch::numeric(const SearchShared& sh, std::int64_t f, const double* values,
                           const std::uint16_t* codes, const double* weights, std::size_t m, const Span& span,
                           const NodeStats& node, Draws& draws, Candidate& best) {
    double t;
    bool missing_left;
    if (!draw_numeric_split(span.lo, span.hi, span.n_missing, m, draws, t, missing_left)) return;
    const std::size_t n = sh.n_classes;
    left_.assign(n, 0.0);
    right_.resize(n);
    std::int64_t n_left = 0;
    const double* v = values;
    if (!weights && n == 2 && !sh.cells) {
        // Whole counts: exact, so summed in any grouping.
        std::int64_t ones = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const std::int64_t goes = v[i] != v[i] ? missing_left : v[i] <= t;
            n_left += goes;
            ones += goes & codes[i];
        }
        left_[0] = static_cast<double>(n_left - ones);
        left_[1] = static_cast<double>(ones);
        weight_left_ = static_cast<double>(n_left);
    } else {
        weight_left_ = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            if (v[i] != v[i] ? missing_left : v[i] <= t) {
                const double w = weights ? weights[i] : 1.0;
                sh.add_to(left_.data(), codes[i], w);
                weight_left_ += w;
                ++n_left;
            }
        }
    }
    settle_numeric(sh, f, n_left, t, missing_left, span.n_missing, node, best);
}

void RandomSearch::sparse_numeric(const SearchShared& sh, std::int64_t f, const SparseRun& run, std::size_t m,
                                  const NodeStats& node, Draws& draws, Candidate& best) {
    const SparseSteps steps(run, m);
    const std::size_t n_steps = steps.count();
    const double inf = std::numeric_limits<double>::infinity();
    const double lo = n_steps ? steps.value(0) : inf, hi = n_steps ? steps.value(n_steps - 1) : -inf;
    double t;
    bool missing_left;
    if (!draw_numeric_split(lo, hi, run.n_missing, m, draws, t, missing_left)) return;
    const std::size_t n = sh.n_classes;
    right_.resize(n);
    // The zeros go one way: start from the node (all left) or from nothing,
    // and move the stored rows that go the other way (exact: whole counts
    // or weights on the fit's grid).
    const bool zeros_left = 0.0 <= t;
    if (zeros_left) left_.assign(node.totals, node.totals + n);
    else left_.assign(n, 0.0);
    weight_left_ = zeros_left ? node.weight : 0.0;
    std::int64_t n_left = zeros_left ? static_cast<std::int64_t>(m) : 0;
    for (std::size_t k = 0; k < run.count; ++k) {
        const double v = run.value(k);
        const bool goes = v != v ? missing_left : v <= t;
        if (goes == zeros_left) continue;
        const std::uint32_t r = run.row(k);
        const double w = sh.weight ? sh.weight[r] : 1.0;
        sh.add_to(left_.data(), sh.codes[r], goes ? w : -w);
        weight_left_ += goes ? w : -w;
        n_left += goes ? 1 : -1;
    }
    settle_numeric(sh, f, n_left, t, missing_left, run.n_missing, node, best);
}

void RandomSearch::judge_numeric(const SearchShared& sh, std::int64_t f, const double* left, double wl,
                                 std::int64_t n_left, double threshold, bool missing_left, std::size_t n_missing,
                                 const NodeStats& node, Candidate& best) {
    left_.assign(left, left + sh.n_classes);
    right_.resize(sh.n_classes);
    weight_left_ = wl;
    settle_numeric(sh, f, n_left, threshold, missing_left, n_missing, node, best);
}

void RandomSearch::settle_numeric(const SearchShared& sh, std::int64_t f, std::int64_t n_left, double threshold,
                                  bool missing_left, std::size_t n_missing, const NodeStats& node,
                                  Candidate& best) {
    const std::int8_t monotonic = sh.params->monotonic ? sh.params->monotonic[f] : 0;
    if (!settle(sh, node, monotonic, n_left, best)) return;
    best.threshold = threshold;
    // A node without missing rows sends them, later, to its larger side.
    best.missing_left = n_missing > 0 ? missing_left : n_left > node.n - n_left;
}

void RandomSearch::categorical(const SearchShared& sh, std::int64_t f, const std::uint32_t* rows, std::size_t m,
                               const NodeStats& node, Draws& draws, Candidate& best) {
    const std::int64_t k = sh.data->n_categories[f];
    const RowView& x = sh.data->x;
    if (side_.size() < static_cast<std::size_t>(k)) side_.resize(static_cast<std::size_t>(k), 0);
    present_.clear();
    std::int64_t n_missing = 0;
    auto category = [&](std::uint32_t r) -> std::int64_t {
        const double v = x.at(r, f);
        return (v >= 0.0 && v < static_cast<double>(k)) ? static_cast<std::int64_t>(v) : -1;
    };
    for (std::size_t i = 0; i < m; ++i) {
        const std::int64_t c = category(rows[i]);
        if (c < 0) {
            ++n_missing;
        } else if (side_[static_cast<std::size_t>(c)] == 0) {
            side_[static_cast<std::size_t>(c)] = 2;
            present_.push_back(static_cast<std::int32_t>(c));
        }
    }
    std::sort(present_.begin(), present_.end());  // the draws go by category code
    const std::size_t g = present_.size();
    if (g + (n_missing > 0) >= 2) {
        const bool missing_left = draw_sides(n_missing > 0, draws);
        left_.assign(sh.n_classes, 0.0);
        right_.resize(sh.n_classes);
        weight_left_ = 0.0;
        std::int64_t n_left = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const std::int64_t c = category(rows[i]);
            if (c < 0 ? missing_left : side_[static_cast<std::size_t>(c)] == 1) {
                add(sh, rows[i]);
                ++n_left;
            }
        }
        settle_subset(sh, node, n_left, n_missing > 0, missing_left, best);
    }
    for (std::int32_t c : present_) side_[static_cast<std::size_t>(c)] = 0;
}

void RandomSearch::categorical_counts(const SearchShared& sh, std::size_t k, const double* table,
                                      const NodeStats& node, Draws& draws, Candidate& best) {
    const std::size_t n = sh.n_classes, width = n + 1;
    if (side_.size() < k) side_.resize(k, 0);
    present_.clear();
    for (std::size_t c = 0; c < k; ++c) {
        if (table[c * width + n] == 0.0) continue;
        side_[c] = 2;
        present_.push_back(static_cast<std::int32_t>(c));
    }
    const double* missing = table + k * width;
    const bool has_missing = missing[n] > 0.0;
    if (present_.size() + has_missing >= 2) {
        const bool missing_left = draw_sides(has_missing, draws);
        left_.assign(n, 0.0);
        right_.resize(n);
        weight_left_ = 0.0;
        std::int64_t n_left = 0;
        auto take = [&](const double* cell) { add_counts(cell, n, left_.data(), weight_left_, n_left); };
        if (missing_left) take(missing);
        for (std::int32_t c : present_)
            if (side_[static_cast<std::size_t>(c)] == 1) take(table + static_cast<std::size_t>(c) * width);
        settle_subset(sh, node, n_left, has_missing, missing_left, best);
    }
    for (std::int32_t c : present_) side_[static_cast<std::size_t>(c)] = 0;
}

bool RandomSearch::draw_sides(bool has_missing, Draws& draws) {
    // Each group left or right with equal chances, drawn again while all
    // fall on one side: uniform among the two-sided splits.
    const std::size_t groups = present_.size() + has_missing;
    std::size_t n_left_groups = 0;
    bool missing_left = false;
    for (int attempt = 0; attempt < kSubsetDraws; ++attempt) {
        n_left_groups = 0;
        for (std::int32_t c : present_) {
            const bool left = draws.coin();
            side_[static_cast<std::size_t>(c)] = left ? 1 : 2;
            n_left_groups += left;
        }
        missing_left = has_missing && draws.coin();
        n_left_groups += missing_left;
        if (n_left_groups != 0 && n_left_groups != groups) break;
    }
    if (n_left_groups == 0 || n_left_groups == groups) {
        // Only the first category's side changes.
        side_[static_cast<std::size_t>(present_[0])] = n_left_groups == 0 ? 1 : 2;
    }
    return missing_left;
}

void RandomSearch::settle_subset(const SearchShared& sh, const NodeStats& node, std::int64_t n_left,
                                 bool has_missing, bool missing_left, Candidate& best) {
    if (!settle(sh, node, 0, n_left, best)) return;
    // The left categories first: the grower's set is the order's prefix.
    best.order.assign(present_.begin(), present_.end());
    const auto first_right = std::stable_partition(best.order.begin(), best.order.end(), [&](std::int32_t c) {
        return side_[static_cast<std::size_t>(c)] == 1;
    });
    best.prefix = static_cast<std::size_t>(first_right - best.order.begin());
    best.missing_left = has_missing ? missing_left : n_left > node.n - n_left;
    best.threshold = std::numeric_limits<double>::quiet_NaN();
}

}  // namespace tavrin::kernels::learner
