// The split search over merged bin summaries. A node's numeric feature is
// walked as a row of groups in value order: a bin that was not refined is
// one group (its smallest and largest value, its counts), a refined bin
// one group per distinct value. Candidates lie between neighbouring groups
// far enough apart, in the order the in-memory scan meets them: missing
// values right (then, with missing values, all values left and the missing
// ones alone right), then missing values left.
#include "kernels/learner/binned_split.hpp"

#include "kernels/learner/criterion.hpp"
#include "kernels/learner/feature_draw.hpp"
#include "kernels/learner/pool.hpp"
#include "kernels/learner/random_split.hpp"
#include "kernels/learner/split_rule.hpp"
#include "kernels/learner/split_search.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace tavrin::kernels::learner {

namespace {

// Impurity below this counts as zero, and a decrease counts as reaching
// min_impurity_decrease when within it (as in the grower).
constexpr double kEpsilon = DBL_EPSILON;
// A bin is refined when a corner of its box comes within this share of the
// node's weight (times the impurity's scale) of the best exact score: far
// above the rounding of either.
constexpr double kBoundMargin = 1e-9;
// Bins holding more classes than this have too many corners to look at:
// they are refined whenever they may hold a split at all.
constexpr std::size_t kMostCornerClasses = 10;

constexpr double kNone = -std::numeric_limits<double>::infinity();

bool is_categorical(const OpenNodes& nodes, std::size_t f) {
    return nodes.n_categories != nullptr && nodes.n_categories[f] > 0;
}

bool searches(const OpenNodes& nodes, std::size_t node, std::size_t f) {
    return nodes.searched == nullptr || nodes.searched[node * nodes.cols + f] != 0;
}

struct Group {
    double lo, hi;
    const double* counts;  // class weights, then rows
    double weight;
    std::size_t bin;
    bool opaque;           // a bin or part of one that may hold splits inside
    bool refined;          // an entry of a refined bin: its lo and hi are the node's own
    std::size_t entry;     // that entry's place in RefinedBins
};

double sum_of(const double* v, std::size_t n) {
    double s = 0.0;
    for (std::size_t c = 0; c < n; ++c) s += v[c];
    return s;
}

// One node of a batch, and the walk over its features.
class NodeWalk {
public:
    NodeWalk(const OpenNodes& nodes, const LearnerParams& params, std::size_t node)
        : o_(nodes), p_(params), node_(node), nc_(nodes.n_classes), imp_(params.criterion, nodes.n_classes),
          totals_(nodes.totals + node * nodes.n_classes), n_(nodes.n[node]), wn_(nodes.weight[node]),
          left_(nc_), right_(nc_) {
        if (nodes.bounds) bounds_ = {nodes.bounds[2 * node], nodes.bounds[2 * node + 1]};
    }

    const double* cell(std::size_t f, std::size_t b) const {
        return o_.counts + (((node_ * o_.cols + f) * (o_.n_bins + 1)) + b) * (nc_ + 1);
    }

    // The groups of feature f; `refined(b, from, to)` gives a refined bin's
    // entries of `r`.
    template <class Refined>
    void groups(std::size_t f, const RefinedBins& r, const Refined& refined) {
        groups_.clear();
        const std::size_t nb = o_.n_bins;
        for (std::size_t b = 0; b < nb; ++b) {
            std::size_t from, to;
            if (refined(b, from, to)) {
                for (std::size_t e = from; e < to; ++e) {
                    const double* c = r.counts + e * (nc_ + 1);
                    if (c[nc_] == 0.0) continue;
                    const double lo = r.values[e], hi = r.hi ? r.hi[e] : lo;
                    groups_.push_back({lo, hi, c, sum_of(c, nc_), b, values_apart(lo, hi), true, e});
                }
                continue;
            }
            const double* c = cell(f, b);
            if (c[nc_] == 0.0) continue;
            const std::size_t at = (node_ * o_.cols + f) * nb + b;
            const double lo = o_.lo[at], hi = o_.hi[at];
            groups_.push_back({lo, hi, c, sum_of(c, nc_), b, values_apart(lo, hi), false, 0});
        }
    }

    // Calls candidate(n_left, left, weight_left, threshold, missing_left,
    // last) for every candidate of the groups in scan order (`last`: the
    // group left of it, null for all values left of the missing ones;
    // the threshold is exact only where lo and hi are), and box(before,
    // weight_before, group) for every opaque group in each pass.
    template <class Candidate, class Box>
    void walk(std::size_t f, const Candidate& candidate, const Box& box) {
        const double* missing = cell(f, o_.n_bins);
        const std::int64_t n_missing = static_cast<std::int64_t>(missing[nc_]);
        const std::size_t g_count = groups_.size();
        for (int pass = 0; pass < 2 && (pass == 0 || n_missing > 0); ++pass) {
            double wl = 0.0;
            std::int64_t nl = 0;
            if (pass == 0) {
                std::fill(left_.begin(), left_.end(), 0.0);
            } else {
                std::copy(missing, missing + nc_, left_.begin());
                wl = sum_of(missing, nc_);
                nl = n_missing;
            }
            for (std::size_t g = 0; g < g_count; ++g) {
                const Group& gr = groups_[g];
                if (gr.opaque) box(left_.data(), wl, gr);
                for (std::size_t c = 0; c < nc_; ++c) left_[c] += gr.counts[c];
                wl += gr.weight;
                nl += static_cast<std::int64_t>(gr.counts[nc_]);
                if (g + 1 == g_count) {
                    if (pass == 0 && n_missing > 0)
                        candidate(nl, left_.data(), wl, std::numeric_limits<double>::infinity(), false,
                                  static_cast<const Group*>(nullptr));
                    break;
                }
                const Group& next = groups_[g + 1];
                if (!values_apart(gr.hi, next.lo)) continue;
                const bool missing_left = pass == 1 || (n_missing == 0 && nl > n_ - nl);
                candidate(nl, left_.data(), wl, midpoint(gr.hi, next.lo), missing_left, &gr);
            }
        }
    }

    // Feature f's smallest and largest value at the node.
    void span(std::size_t f, double& lo, double& hi) const {
        if (o_.span) {
            lo = o_.span[(node_ * o_.cols + f) * 2];
            hi = o_.span[(node_ * o_.cols + f) * 2 + 1];
            return;
        }
        const std::size_t at = (node_ * o_.cols + f) * o_.n_bins;
        lo = std::numeric_limits<double>::infinity();
        hi = -lo;
        for (std::size_t b = 0; b < o_.n_bins; ++b) {  // an empty bin spans (+inf, -inf)
            lo = std::min(lo, o_.lo[at + b]);
            hi = std::max(hi, o_.hi[at + b]);
        }
    }
    std::size_t missing_rows(std::size_t f) const { return static_cast<std::size_t>(cell(f, o_.n_bins)[nc_]); }

    // Whether feature f is constant at the node, as the grower decides it.
    bool constant(std::size_t f) const {
        if (is_categorical(o_, f)) {  // one category, or missing values only
            std::size_t groups = missing_rows(f) > 0;
            for (std::size_t b = 0; b < o_.n_bins && groups < 2; ++b) groups += cell(f, b)[nc_] > 0.0;
            return groups < 2;
        }
        double lo, hi;
        span(f, lo, hi);
        return constant_span(lo, hi, missing_rows(f), static_cast<std::size_t>(n_));
    }

    // Numeric feature f's random split at the node, from the feature's own
    // draws: false when the feature is constant.
    bool draw(std::size_t f, double& threshold, bool& missing_left) const {
        Draws draws(p_.seed, o_.keys[node_], f + 1);
        double lo, hi;
        span(f, lo, hi);
        return draw_numeric_split(lo, hi, missing_rows(f), static_cast<std::size_t>(n_), draws, threshold,
                                  missing_left);
    }

    // The exact proxy of a split on feature f, or kNone when its children
    // are not allowed.
    double score(std::size_t f, std::int64_t nl, const double* left, double wl) {
        const double wr = wn_ - wl;
        if (!children_allowed(p_, n_, nl, wl, wr)) return kNone;
        const std::int8_t cst = p_.monotonic ? p_.monotonic[f] : 0;
        if (cst != 0 && !keeps_monotonic(cst, bounds_, left[0], wl, totals_[0] - left[0], wr)) return kNone;
        for (std::size_t c = 0; c < nc_; ++c) right_[c] = totals_[c] - left[c];
        return imp_.proxy(left, wl, right_.data(), wr);
    }

    // Whether some split inside `g`, reached with class weights `before`,
    // could come within the margin of `floor`.
    bool box_may_win(const double* before, const Group& g, double floor) {
        if (floor == kNone) return true;
        std::size_t moving[kMostCornerClasses];
        std::size_t d = 0;
        for (std::size_t c = 0; c < nc_; ++c) {
            if (g.counts[c] == 0.0) continue;
            if (d == kMostCornerClasses) return true;
            moving[d++] = c;
        }
        const double need = floor - kBoundMargin * wn_ * (1.0 + std::log2(static_cast<double>(nc_)));
        corner_.resize(nc_);
        for (std::size_t bits = 0; bits < (std::size_t{1} << d); ++bits) {
            std::copy(before, before + nc_, corner_.begin());
            for (std::size_t j = 0; j < d; ++j)
                if ((bits >> j) & 1) corner_[moving[j]] += g.counts[moving[j]];
            for (std::size_t c = 0; c < nc_; ++c) right_[c] = std::max(0.0, totals_[c] - corner_[c]);
            const double wl = sum_of(corner_.data(), nc_), wr = sum_of(right_.data(), nc_);
            // An empty side weighs nothing: the other is the whole node.
            const double il = wl > 0.0 ? imp_.of(corner_.data(), wl) : 0.0;
            const double ir = wr > 0.0 ? imp_.of(right_.data(), wr) : 0.0;
            if (Impurity::children(il, wl, ir, wr) >= need) return true;
        }
        return false;
    }

    const Impurity& impurity() const { return imp_; }
    const ValueBounds& bounds() const { return bounds_; }
    const double* totals() const { return totals_; }
    std::int64_t rows() const { return n_; }
    double weight() const { return wn_; }

private:
    const OpenNodes& o_;
    const LearnerParams& p_;
    std::size_t node_, nc_;
    Impurity imp_;
    const double* totals_;
    std::int64_t n_;
    double wn_;
    ValueBounds bounds_;
    std::vector<Group> groups_;
    std::vector<double> left_, right_, corner_;
};

const auto kNoRefined = [](std::size_t, std::size_t&, std::size_t&) { return false; };
const RefinedBins kNoEntries;

// The entries of the refined bins in mask order: node by node, feature by
// feature, bin by bin.
class RefinedCursor {
public:
    explicit RefinedCursor(const RefinedBins& r) : r_(r) {}
    void next(std::size_t& from, std::size_t& to) {
        from = static_cast<std::size_t>(r_.offsets[request_]);
        to = static_cast<std::size_t>(r_.offsets[request_ + 1]);
        ++request_;
    }
    std::size_t at() const { return request_; }
    void rewind(std::size_t to) { request_ = to; }

private:
    const RefinedBins& r_;
    std::size_t request_ = 0;
};
const auto kNoBox = [](const double*, double, const Group&) {};

// Nodes are searched apart from each other, on up to this many threads
// where there are at least kNodesToShare of them: a node's answer is the
// same on any thread.
constexpr std::size_t kThreads = 4, kNodesToShare = 16;

// job(i, first, worker) for every node i, `first` the node's first refined
// bin among the requests (the bins of `mask` before its own; 0 without a
// mask), `worker` the thread's number below threads_for(nodes).
std::size_t threads_for(const OpenNodes& nodes) { return nodes.nodes >= kNodesToShare ? kThreads : 1; }

template <class Job>
void each_node(const OpenNodes& nodes, const std::uint8_t* mask, Job&& job) {
    const std::size_t per_node = nodes.cols * nodes.n_bins;
    std::vector<std::size_t> first(nodes.nodes, 0);
    for (std::size_t i = 1; mask && i < nodes.nodes; ++i)
        first[i] = first[i - 1] + static_cast<std::size_t>(std::count_if(
            mask + (i - 1) * per_node, mask + i * per_node, [](std::uint8_t m) { return m != 0; }));
    const std::size_t threads = threads_for(nodes);
    if (threads == 1) {
        for (std::size_t i = 0; i < nodes.nodes; ++i) job(i, first[i], std::size_t{0});
        return;
    }
    Pool pool(threads);
    pool.run(nodes.nodes, [&](std::size_t i, std::size_t worker) { job(i, first[i], worker); });
}

}  // namespace

void node_stats(const LearnerParams& params, std::size_t k, std::size_t n_classes, const double* totals,
                const std::int64_t* n, const double* weight, const std::int64_t* depth, double* impurity,
                std::uint8_t* stops) {
    const Impurity imp(params.criterion, n_classes);
    for (std::size_t i = 0; i < k; ++i) {
        impurity[i] = imp.of(totals + i * n_classes, weight[i]);
        stops[i] = (params.max_depth >= 0 && depth[i] >= params.max_depth) || n[i] < params.min_samples_split ||
                   n[i] / 2 < params.min_samples_leaf || weight[i] < 2.0 * params.min_weight_leaf ||
                   impurity[i] <= kEpsilon;
    }
}

void draw_searched(const OpenNodes& nodes, const LearnerParams& params, const std::int64_t* known_offsets,
                   const std::int32_t* known, std::uint8_t* searched, std::vector<std::int64_t>& constant_offsets,
                   std::vector<std::int32_t>& constants) {
    const std::size_t p = nodes.cols;
    constant_offsets.assign(1, 0);
    constants.clear();
    std::vector<std::int32_t> given, chosen, found, order;
    std::vector<std::uint8_t> is_known;
    for (std::size_t i = 0; i < nodes.nodes; ++i) {
        const NodeWalk w(nodes, params, i);
        given.assign(known + known_offsets[i], known + known_offsets[i + 1]);
        Draws draws(params.seed, nodes.keys[i], 0);
        draw_features(p, params.max_features, given, draws,
                      [&](std::int32_t f) { return w.constant(static_cast<std::size_t>(f)); }, chosen, found, order,
                      is_known);
        std::fill_n(searched + i * p, p, std::uint8_t{0});
        for (std::int32_t f : chosen) searched[i * p + static_cast<std::size_t>(f)] = 1;
        constants.insert(constants.end(), found.begin(), found.end());
        constant_offsets.push_back(static_cast<std::int64_t>(constants.size()));
    }
}

void bins_to_refine(const OpenNodes& nodes, const LearnerParams& params, std::uint8_t* mask) {
    const std::size_t p = nodes.cols, nb = nodes.n_bins;
    std::fill_n(mask, nodes.nodes * p * nb, std::uint8_t{0});
    each_node(nodes, nullptr, [&](std::size_t i, std::size_t, std::size_t) {
        NodeWalk w(nodes, params, i);
        if (params.random_split) {
            // The bin with values on both sides of the drawn threshold.
            for (std::size_t f = 0; f < p; ++f) {
                double t;
                bool missing_left;
                if (is_categorical(nodes, f) || !searches(nodes, i, f) || !w.draw(f, t, missing_left)) continue;
                const std::size_t at = (i * p + f) * nb;
                for (std::size_t b = 0; b < nb; ++b)
                    if (w.cell(f, b)[nodes.n_classes] > 0.0 && nodes.lo[at + b] <= t && t < nodes.hi[at + b])
                        mask[at + b] = 1;
            }
            return;
        }
        // The best exact score among the bin boundaries of every feature:
        // the winner scores at least this.
        double floor = kNone;
        for (std::size_t f = 0; f < p; ++f) {
            if (is_categorical(nodes, f) || !searches(nodes, i, f)) continue;  // categories: searched whole
            w.groups(f, kNoEntries, kNoRefined);
            w.walk(f, [&](std::int64_t nl, const double* left, double wl, double, bool, const Group*) {
                floor = std::max(floor, w.score(f, nl, left, wl));
            }, kNoBox);
        }
        for (std::size_t f = 0; f < p; ++f) {
            if (is_categorical(nodes, f) || !searches(nodes, i, f)) continue;
            w.groups(f, kNoEntries, kNoRefined);
            std::uint8_t* m = mask + (i * p + f) * nb;
            w.walk(f, [](std::int64_t, const double*, double, double, bool, const Group*) {},
                   [&](const double* before, double, const Group& g) {
                       if (!m[g.bin] && w.box_may_win(before, g, floor)) m[g.bin] = 1;
                   });
        }
    });
}

void entries_to_refine(const OpenNodes& nodes, const LearnerParams& params, const std::uint8_t* mask,
                       const RefinedBins& refined, std::uint8_t* entry_mask) {
    const std::size_t p = nodes.cols, nb = nodes.n_bins;
    each_node(nodes, mask, [&](std::size_t i, std::size_t first, std::size_t) {
        RefinedCursor cursor(refined);
        cursor.rewind(first);
        NodeWalk w(nodes, params, i);
        auto entries = [&](std::size_t f) {
            const std::uint8_t* m = mask + (i * p + f) * nb;
            return [&cursor, m](std::size_t b, std::size_t& from, std::size_t& to) {
                if (!m[b]) return false;
                cursor.next(from, to);
                return true;
            };
        };
        if (params.random_split) {
            // The entries with values on both sides of the drawn threshold.
            for (std::size_t f = 0; f < p; ++f) {
                double t;
                bool missing_left;
                if (is_categorical(nodes, f) || !searches(nodes, i, f)) continue;
                const bool drawn = w.draw(f, t, missing_left);
                const std::uint8_t* m = mask + (i * p + f) * nb;
                for (std::size_t b = 0; b < nb; ++b) {
                    if (!m[b]) continue;
                    std::size_t from, to;
                    cursor.next(from, to);
                    for (std::size_t e = from; drawn && e < to; ++e)
                        if (refined.values[e] <= t && t < refined.hi[e]) entry_mask[e] = 1;
                }
            }
            return;
        }
        // As bins_to_refine over the groups the refined bins' entries make.
        double floor = kNone;
        for (std::size_t f = 0; f < p; ++f) {
            if (is_categorical(nodes, f) || !searches(nodes, i, f)) continue;
            w.groups(f, refined, entries(f));
            w.walk(f, [&](std::int64_t nl, const double* left, double wl, double, bool, const Group*) {
                floor = std::max(floor, w.score(f, nl, left, wl));
            }, kNoBox);
        }
        cursor.rewind(first);
        for (std::size_t f = 0; f < p; ++f) {
            if (is_categorical(nodes, f) || !searches(nodes, i, f)) continue;
            w.groups(f, refined, entries(f));
            w.walk(f, [](std::int64_t, const double*, double, double, bool, const Group*) {},
                   [&](const double* before, double, const Group& g) {
                       if (g.refined && !entry_mask[g.entry] && w.box_may_win(before, g, floor))
                           entry_mask[g.entry] = 1;
                   });
        }
    });
}

void choose_splits(const OpenNodes& nodes, const LearnerParams& params, const std::uint8_t* mask,
                   const RefinedBins& refined, const double* impurity, double total_weight,
                   std::vector<ChosenSplit>& out) {
    const std::size_t p = nodes.cols, nb = nodes.n_bins, nc = nodes.n_classes;
    out.assign(nodes.nodes, ChosenSplit{});
    // Each thread's search state.
    struct State {
        std::vector<double> right, left;
        SearchShared shared;
        FeatureSearch search;
        RandomSearch random;
        Candidate found;
    };
    std::vector<State> states(threads_for(nodes));
    for (State& state : states) {
        state.right.resize(nc);
        state.left.resize(nc);
        state.shared.params = &params;
        state.shared.impurity = Impurity(params.criterion, nc);
        state.shared.n_classes = nc;
    }
    each_node(nodes, mask, [&](std::size_t i, std::size_t first, std::size_t worker) {
        State& state = states[worker];
        std::vector<double>&right = state.right, &left = state.left;
        SearchShared& shared = state.shared;
        FeatureSearch& search = state.search;
        RandomSearch& random = state.random;
        Candidate& found = state.found;
        RefinedCursor cursor(refined);
        cursor.rewind(first);
        NodeWalk w(nodes, params, i);
        ChosenSplit& best = out[i];
        double best_proxy = kNone;
        const NodeStats node{w.rows(), w.weight(), w.totals(), w.bounds()};
        // Features in column order, strictly better only: the first of
        // equal scores stays, as in memory.
        auto take = [&](std::size_t f, const Candidate& c) {
            if (!(c.found() && c.proxy > best_proxy)) return;
            best_proxy = c.proxy;
            best.feature = static_cast<std::int64_t>(f);
            best.threshold = c.threshold;
            best.bin = -1;
            best.missing_left = c.missing_left;
            best.n_left = c.n_left;
            best.weight_left = c.weight_left;
            best.left = c.left;
            best.categories.clear();
            if (is_categorical(nodes, f)) {
                best.categories.assign(static_cast<std::size_t>((nodes.n_categories[f] + 63) / 64), 0);
                write_category_set(c, best.categories.data(), best.categories.size());
            }
        };
        for (std::size_t f = 0; f < p; ++f) {
            if (!searches(nodes, i, f)) continue;
            found.reset();
            if (params.random_split && is_categorical(nodes, f)) {
                Draws draws(params.seed, nodes.keys[i], f + 1);
                random.categorical_counts(shared, nb, w.cell(f, 0), node, draws, found);
                take(f, found);
                continue;
            }
            if (params.random_split) {
                double t;
                bool missing_left;
                if (!w.draw(f, t, missing_left)) continue;
                // The class weights left of the threshold: whole bins below
                // it, and the refined bin's values up to it.
                std::fill(left.begin(), left.end(), 0.0);
                double wl = 0.0;
                std::int64_t nl = 0;
                auto add = [&](const double* counts) { add_counts(counts, nc, left.data(), wl, nl); };
                if (missing_left) add(w.cell(f, nb));
                const std::uint8_t* m = mask + (i * p + f) * nb;
                for (std::size_t b = 0; b < nb; ++b) {
                    if (m[b]) {  // its entries wholly at or below t (those across it are values)
                        std::size_t from, to;
                        cursor.next(from, to);
                        for (std::size_t e = from; e < to && (refined.hi ? refined.hi[e] : refined.values[e]) <= t; ++e)
                            add(refined.counts + e * (nc + 1));
                    } else if (w.cell(f, b)[nc] > 0.0 && nodes.hi[(i * p + f) * nb + b] <= t) {
                        add(w.cell(f, b));
                    }
                }
                random.judge_numeric(shared, static_cast<std::int64_t>(f), left.data(), wl, nl, t, missing_left,
                                     w.missing_rows(f), node, found);
                take(f, found);
                continue;
            }
            if (is_categorical(nodes, f)) {
                search.categorical_counts(shared, nb, w.cell(f, 0), node, found);
                take(f, found);
                continue;
            }
            const std::uint8_t* m = mask + (i * p + f) * nb;
            w.groups(f, refined, [&](std::size_t b, std::size_t& from, std::size_t& to) {
                if (!m[b]) return false;
                cursor.next(from, to);
                return true;
            });
            w.walk(f, [&](std::int64_t nl, const double* l, double wl, double threshold, bool missing_left,
                          const Group* last) {
                const double proxy = w.score(f, nl, l, wl);
                if (!(proxy > best_proxy)) return;
                best_proxy = proxy;
                best.feature = static_cast<std::int64_t>(f);
                best.threshold = threshold;
                best.bin = last ? static_cast<std::int64_t>(last->bin) : -1;
                best.bin_value = last && last->refined ? last->hi : std::numeric_limits<double>::infinity();
                best.missing_left = missing_left;
                best.n_left = nl;
                best.weight_left = wl;
                best.left.assign(l, l + nc);
                best.categories.clear();
            }, kNoBox);
        }
        if (best.feature < 0) return;
        const double wl = best.weight_left, wr = w.weight() - wl;
        for (std::size_t c = 0; c < nc; ++c) right[c] = w.totals()[c] - best.left[c];
        const double il = w.impurity().of(best.left.data(), wl), ir = w.impurity().of(right.data(), wr);
        best.improvement = Impurity::improvement(total_weight, w.weight(), impurity[i], wl, il, wr, ir);
        if (best.improvement + kEpsilon < params.min_impurity_decrease) {
            best.feature = -1;
            return;
        }
        const std::int8_t cst = params.monotonic && nc == 2 ? params.monotonic[best.feature] : 0;
        child_bounds(cst, w.bounds(), best.left[0], wl, w.totals()[0] - best.left[0], wr, best.left_bounds,
                     best.right_bounds);
    });
}

}  // namespace tavrin::kernels::learner
