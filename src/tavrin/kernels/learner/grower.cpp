// The learner's growth. Each numeric column is sorted once; every node owns
// the range [begin, end) of one row array and one value array per numeric
// column (its rows and their rounded values in that column's order, missing
// last) and, where categorical columns or real weights need it, of `rows_`
// (its rows in row order). A split partitions every array's range stably, so
// children keep both orders; the column arrays only where a child will be
// searched. Without `rows_`, a node's class weights are whole counts and
// come from its parent's split. Nodes are searched when created: depth first (left subtree
// first, ids in preorder), or best first (the open node of largest impurity
// decrease next, until the leaf budget is spent). Every random draw is
// keyed by the node's key (draws.hpp), so that neither order nor threads
// change the tree.
#include "kernels/learner/column_copies.hpp"
#include "kernels/learner/feature_draw.hpp"
#include "kernels/learner/learner.hpp"
#include "kernels/learner/open_nodes.hpp"
#include "kernels/learner/pool.hpp"
#include "kernels/learner/presort.hpp"
#include "kernels/learner/random_split.hpp"
#include "kernels/learner/split_search.hpp"
#include "kernels/partition.hpp"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <queue>

namespace tavrin::kernels::learner {

namespace {

using Rows = std::vector<std::uint32_t>;

// Impurity below this counts as zero, and a decrease counts as reaching
// min_impurity_decrease when within it (the double's epsilon).
constexpr double kEpsilon = DBL_EPSILON;
// Below this many row-features a node is searched on one thread.
constexpr std::size_t kParallelWork = 1 << 16;

// The first position of [first, last) where `before` turns false (it
// holds on a prefix), looked for from the front in steps of 1, 2, 4, ...
// and then by halves: an answer d places on costs about 2 log d looks.
template <class It, class Before>
It gallop(It first, It last, Before before) {
    std::size_t step = 1;
    while (static_cast<std::size_t>(last - first) > step) {
        if (!before(first[static_cast<std::ptrdiff_t>(step)]))
            return std::partition_point(first, first + static_cast<std::ptrdiff_t>(step), before);
        first += static_cast<std::ptrdiff_t>(step) + 1;
        step *= 2;
    }
    return std::partition_point(first, last, before);
}

// One bit per row: whether the row goes left (a bitset stays in the
// second-level cache where a byte per row would not).
class Sides {
public:
    void resize(std::size_t rows) { bits_.assign((rows + 63) / 64, 0); }
    bool left(std::uint32_t r) const { return (bits_[r >> 6] >> (r & 63)) & 1; }
    void set(std::uint32_t r, bool left) {
        std::uint64_t& w = bits_[r >> 6];
        w = (w & ~(std::uint64_t{1} << (r & 63))) | (std::uint64_t{left} << (r & 63));
    }

private:
    std::vector<std::uint64_t> bits_;
};

class Grower {
public:
    Grower(const LearnerData& d, const LearnerParams& p, FlatTree& out, CancelHook* cancel)
        : d_(d), p_(p), out_(out), pool_(static_cast<std::size_t>(std::max<std::int64_t>(1, p.n_threads))),
          poll_(cancel) {}

    void run() {
        prepare();
        const Pending root{0, n_rows_, p_.root_depth, -1, false, root_totals_, p_.root, 0, stored_.size()};
        if (p_.max_leaf_nodes < 0) {
            std::vector<Pending> stack{root};
            while (!stack.empty()) {
                const Pending t = stack.back();
                stack.pop_back();
                poll((t.end - t.begin) * d_.cols);
                Open o = evaluate(t);
                if (o.is_leaf) continue;
                stack.push_back({o.pos, o.end, o.depth + 1, o.id, false, std::move(o.right), std::move(o.to_right),
                                 o.stored_pos, o.stored_end});
                stack.push_back({o.begin, o.pos, o.depth + 1, o.id, true, std::move(o.left), std::move(o.to_left),
                                 o.stored_begin, o.stored_pos});
            }
        } else {
            auto later = [](const Open& a, const Open& b) {
                return a.improvement < b.improvement || (a.improvement == b.improvement && a.id > b.id);
            };
            std::priority_queue<Open, std::vector<Open>, decltype(later)> frontier(later);
            frontier.push(evaluate(root));
            std::int64_t splits_left = p_.max_leaf_nodes - 1;
            while (!frontier.empty()) {
                const Open o = frontier.top();
                frontier.pop();
                if (o.is_leaf || splits_left <= 0) {
                    make_leaf(o.id);
                    continue;
                }
                --splits_left;
                poll((o.end - o.begin) * d_.cols);
                frontier.push(evaluate({o.begin, o.pos, o.depth + 1, o.id, true, o.left, o.to_left, o.stored_begin,
                                        o.stored_pos}));
                frontier.push(evaluate({o.pos, o.end, o.depth + 1, o.id, false, o.right, o.to_right, o.stored_pos,
                                        o.stored_end}));
            }
        }
        out_.compact_categories();
        out_.proba.swap(proba_);
    }

private:
    // `work` row-features are done or about to be: they count towards the
    // next look at the cancel hook. Asked only on the calling thread
    // (worker 0 of the pool).
    void poll(std::size_t work) {
        if (poll_.stop(work)) throw Cancelled{};
    }

    void prepare() {
        const std::size_t n = d_.rows, p = d_.cols, n_codes = static_cast<std::size_t>(d_.n_classes);
        // The class weights a node counts: per class, or per class of each
        // output one output after the other; a row's code adds to one of
        // them per output (shared_.add_to).
        const std::size_t outputs = static_cast<std::size_t>(std::max<std::int64_t>(1, d_.n_outputs));
        std::size_t nc = n_codes;
        if (outputs > 1) {
            std::vector<std::size_t> offset(outputs);
            nc = 0;
            for (std::size_t k = 0; k < outputs; ++k) {
                offset[k] = nc;
                nc += static_cast<std::size_t>(d_.output_classes[k]);
            }
            // Checked before the fit; a class changed since counts as class 0.
            cells_.resize(n_codes * outputs);
            for (std::size_t c = 0; c < n_codes; ++c) {
                for (std::size_t k = 0; k < outputs; ++k) {
                    const std::int64_t j = d_.joint[c * outputs + k];
                    cells_[c * outputs + k] = static_cast<std::uint32_t>(
                        offset[k] + (j >= 0 && j < d_.output_classes[k] ? static_cast<std::size_t>(j) : 0));
                }
            }
            shared_.outputs = outputs;
            shared_.cells = cells_.data();
        }
        out_ = FlatTree{};
        out_.n_classes = static_cast<std::int64_t>(nc);
        out_.n_features = static_cast<std::int64_t>(p);
        out_.n_categories.assign(d_.n_categories, d_.n_categories + p);

        codes_.resize(n);
        // Checked before the fit; a code changed since counts as class 0
        // rather than index out of bounds.
        for (std::size_t r = 0; r < n; ++r)
            codes_[r] = d_.y[r] >= 0 && d_.y[r] < d_.n_classes ? static_cast<std::uint16_t>(d_.y[r]) : 0;
        // Rows of weight zero take no part, as if absent.
        rows_.reserve(n);
        total_weight_ = 0.0;
        bool unit = true;
        for (std::size_t r = 0; r < n; ++r) {
            const double w = d_.weight ? d_.weight[r] : 1.0;
            total_weight_ += w;
            if (w != 0.0) rows_.push_back(static_cast<std::uint32_t>(r));
            unit = unit && w == 1.0;
        }
        if (p_.total_weight > 0.0) total_weight_ = p_.total_weight;
        shared_.data = &d_;
        shared_.params = &p_;
        shared_.impurity = Impurity(p_.criterion, nc, outputs, d_.output_classes);
        shared_.n_classes = nc;
        shared_.codes = codes_.data();
        shared_.weight = unit ? nullptr : d_.weight;
        n_rows_ = rows_.size();
        // Real weights are summed in row order; categorical columns are
        // searched over the rows in any order. Otherwise the row-order
        // array is only the presort's input.
        // Random splits read the node's rows and values in row order, and
        // need no column sorted.
        use_rows_ = !unit || p_.random_split;
        for (std::size_t f = 0; f < p; ++f) use_rows_ = use_rows_ || d_.n_categories[f] != 0;
        counted_ = unit;
        if (counted_) {
            root_totals_.assign(nc, 0.0);
            for (std::uint32_t r : rows_) shared_.add_to(root_totals_.data(), codes_[r], 1.0);
        }

        if (d_.sparse) {
            // Sparse columns: every split partitions rows_ and the stored entries.
            use_rows_ = true;
            gather_sparse();
            goes_left_.resize(n);
        } else {
        sorted_.resize(p);
        // With few enough rows and classes, each entry of a column's row
        // array carries its row's class code in the top bits: the scans
        // then read no class code from elsewhere.
        const bool tagged = n < (std::size_t{1} << kRowBits) && n_codes <= (std::size_t{1} << (32 - kRowBits));
        shared_.tagged = tagged;
        row_mask_ = tagged ? kRowMask : ~std::uint32_t{0};
        // Random splits over every feature keep each column's values in the
        // order of rows_; over drawn ones, a node gathers those it searches.
        side_by_side_ = p_.random_split && (p_.max_features < 0 || static_cast<std::size_t>(p_.max_features) >= p);
        if (p_.random_split) {
            if (!side_by_side_ || std::any_of(d_.n_categories, d_.n_categories + p, [](std::int64_t k) { return k != 0; }))
                by_columns();
            // A node's values of a numeric column side by side: column f's
            // in the order of rows_ at f * n_rows_, partitioned with it.
            if (side_by_side_)
                copy_columns(pool_, d_.x, rows_.data(), n_rows_, p, d_.n_categories, node_values_, poller());
            // Each position's class code and weight beside rows_, partitioned with it.
            flags_.resize(n_rows_);
            pos_codes_.resize(n_rows_);
            for (std::size_t k = 0; k < n_rows_; ++k) pos_codes_[k] = codes_[rows_[k]];
            if (!unit) {
                pos_weights_.resize(n_rows_);
                for (std::size_t k = 0; k < n_rows_; ++k) pos_weights_[k] = d_.weight[rows_[k]];
            }
            gathered_.resize(pool_.size());
        } else {
            presort_columns(pool_, d_.x, d_.n_categories, rows_, codes_.data(), tagged, sorted_, poller());
        }
        if (!use_rows_) Rows().swap(rows_);
        if (!p_.random_split) goes_left_.resize(n);  // random splits partition by position (flags_)
        }
        searchers_.resize(pool_.size());
        random_.resize(pool_.size());
        bounded_ = p_.monotonic != nullptr && nc == 2 && outputs == 1;
        spills_.resize(pool_.size());
        spill_entries_.resize(pool_.size());
        spill_doubles_.resize(pool_.size());
        candidates_.resize(p);
        totals_.resize(nc);
        right_.resize(nc);
    }

    // The random search reads one column at a time over a node's rows (in
    // ascending order): from a column-major copy when the data are
    // row-major, so that those reads are near one another.
    void by_columns() {
        const std::size_t n = d_.rows, p = d_.cols;
        if (p < 2 || std::abs(d_.x.row_stride) < std::abs(d_.x.col_stride)) return;
        copy_columns(pool_, d_.x, nullptr, n, p, nullptr, columns_, poller());
        view_ = d_;
        view_.x = RowView{columns_.data(), 1, static_cast<std::ptrdiff_t>(n)};
        shared_.data = &view_;
    }

    std::function<void(std::size_t)> poller() {
        return [this](std::size_t work) { poll(work); };
    }

    void link(std::int64_t id, std::int64_t parent, bool is_left) {
        if (parent < 0) return;
        (is_left ? out_.left : out_.right)[static_cast<std::size_t>(parent)] = id;
    }

    void make_leaf(std::int64_t id) {
        const std::size_t i = static_cast<std::size_t>(id);
        out_.feature[i] = kNoFeature;
        out_.threshold[i] = std::numeric_limits<double>::quiet_NaN();
        out_.missing_left[i] = 0;
        out_.is_categorical[i] = 0;
        out_.category_offset[i] = -1;  // its set, if any, goes at the compaction
    }

    // Adds the node of `t`, searches it and, when it splits, partitions its
    // rows: [begin, pos) left, [pos, end) right.
    Open evaluate(const Pending& t) {
        const std::size_t nc = shared_.n_classes;
        const std::int64_t id = out_.add_node();
        const std::size_t i = static_cast<std::size_t>(id);
        link(id, t.parent, t.is_left);
        const std::int64_t n = static_cast<std::int64_t>(t.end - t.begin);
        double wn = 0.0;
        if (counted_) {
            // Whole counts: the same bits in any order of summation.
            std::copy(t.totals.begin(), t.totals.end(), totals_.begin());
            wn = static_cast<double>(n);
        } else if (p_.random_split && !d_.sparse) {
            // The same sums in the same (row) order, from the positions' own codes and weights.
            std::fill(totals_.begin(), totals_.end(), 0.0);
            for (std::size_t k = t.begin; k < t.end; ++k) {
                shared_.add_to(totals_.data(), pos_codes_[k], pos_weights_[k]);
                wn += pos_weights_[k];
            }
        } else {
            std::fill(totals_.begin(), totals_.end(), 0.0);
            for (std::size_t k = t.begin; k < t.end; ++k) {
                const std::uint32_t r = rows_[k];
                shared_.add_to(totals_.data(), codes_[r], shared_.weight[r]);
                wn += shared_.weight[r];
            }
        }
        // From the node's own counts: a class it lacks weighs exactly zero,
        // which the parent's totals minus its other side need not give.
        const double impurity = shared_.impurity.of(totals_.data(), wn);
        std::copy(totals_.begin(), totals_.end(), out_.value.begin() + static_cast<std::ptrdiff_t>(i * nc));
        out_.n_node_samples[i] = n;
        out_.weighted_n_node_samples[i] = wn;
        out_.impurity[i] = impurity;
        if (bounded_) {
            // As scikit-learn: class 0's share clipped, class 1 the rest.
            const double p0 = bounded_share(t.lineage.bounds, totals_[0] / wn);
            proba_.push_back(p0);
            proba_.push_back(1.0 - p0);
        }

        Open o{id, t.begin, t.end, t.end, t.depth, 0.0, true, {}, {}, {}, {}};
        if (stops(t.depth, n, wn, impurity)) return o;
        std::vector<std::int32_t> constants;
        const std::int64_t f = search(t, n, wn, constants);
        if (f < 0) return o;
        const Candidate& c = candidates_[static_cast<std::size_t>(f)];
        const double wl = c.weight_left, wr = wn - wl;
        for (std::size_t k = 0; k < nc; ++k) right_[k] = totals_[k] - c.left[k];
        const double il = shared_.impurity.of(c.left.data(), wl);
        const double ir = shared_.impurity.of(right_.data(), wr);
        const double improvement = Impurity::improvement(total_weight_, wn, impurity, wl, il, wr, ir);
        if (improvement + kEpsilon < p_.min_impurity_decrease) return o;

        out_.feature[i] = f;
        out_.missing_left[i] = c.missing_left;
        const bool categorical = d_.n_categories[f] > 0;
        out_.is_categorical[i] = categorical;
        const std::uint64_t* bits = nullptr;
        if (categorical) {
            std::uint64_t* set = out_.add_category_set(i);
            bits = set;
            write_category_set(c, set, static_cast<std::size_t>(out_.words_of(f)));
        } else {
            out_.threshold[i] = c.threshold;
        }
        // A child's stop is known now from what it will compute itself:
        // with whole counts, everything (the very values computed here);
        // otherwise its counts (its weights come from its rows).
        const std::int64_t nl = c.n_left, nr = n - nl, depth = t.depth + 1;
        const bool read_left = counted_ ? !stops(depth, nl, wl, il) : !stops_by_count(depth, nl);
        const bool read_right = counted_ ? !stops(depth, nr, wr, ir) : !stops_by_count(depth, nr);
        if (d_.sparse) partition_sparse(t, f, c, read_left || read_right, o);
        else partition(t.begin, t.end, f, categorical, c, bits, read_left, read_right);
        if (counted_) {
            o.left = c.left;
            o.right = right_;
        }
        o.pos = t.begin + static_cast<std::size_t>(c.n_left);
        o.improvement = improvement;
        o.is_leaf = false;
        const std::int8_t cst = bounded_ ? p_.monotonic[f] : 0;
        child_bounds(cst, t.lineage.bounds, c.left[0], wl, totals_[0] - c.left[0], wr, o.to_left.bounds,
                     o.to_right.bounds);
        o.to_left.key = child_key(t.lineage.key, true);
        o.to_right.key = child_key(t.lineage.key, false);
        if (!constants.empty()) {
            o.to_left.constants = constants;
            o.to_right.constants = std::move(constants);
        }
        return o;
    }

    // Every count parameter may be as large as an int64 holds: each is
    // compared, never multiplied (n / 2 < leaf is n < 2 * leaf for n >= 0).
    bool stops_by_count(std::int64_t depth, std::int64_t n) const {
        return (p_.max_depth >= 0 && depth >= p_.max_depth) || n < p_.min_samples_split ||
               n / 2 < p_.min_samples_leaf;
    }
    // Whether a node of `depth` with n rows of weight wn and `impurity` is
    // a leaf without a search.
    bool stops(std::int64_t depth, std::int64_t n, double wn, double impurity) const {
        return stops_by_count(depth, n) || wn < 2.0 * p_.min_weight_leaf || impurity <= kEpsilon;
    }

    // Fills chosen_ with the features node `t` searches: all, or those
    // drawn (then `constants` gets the children's known constants).
    void choose_features(const Pending& t, std::vector<std::int32_t>& constants) {
        const std::size_t p = d_.cols, m = t.end - t.begin;
        if (d_.sparse) return choose_sparse(t, constants);
        if (p_.max_features < 0 || static_cast<std::size_t>(p_.max_features) >= p) {
            chosen_.resize(p);
            for (std::size_t f = 0; f < p; ++f) chosen_[f] = static_cast<std::int32_t>(f);
            return;
        }
        auto is_constant = [&](std::int32_t f) {
            const std::size_t ff = static_cast<std::size_t>(f);
            const RowView& x = shared_.data->x;
            if (d_.n_categories[ff] > 0)
                return constant_categories(x, f, d_.n_categories[ff], &rows_[t.begin], m);
            if (sorted_[ff].empty()) return constant_numeric(x, f, &rows_[t.begin], m);
            const SortedValues v{&sorted_[ff][t.begin], &d_.x, f, row_mask_};
            return constant_values(v, m);
        };
        Draws draws(p_.seed, t.lineage.key, 0);
        draw_features(p, p_.max_features, t.lineage.constants, draws, is_constant, chosen_, constants, draw_order_,
                      draw_known_);
    }

    // The feature of the best split of node `t`, or -1. Features are
    // searched apart (on both threads for a large node) and compared in
    // column order, so the first of equal proxies wins either way. The
    // best proxy found so far, of any feature, lets a numeric scan pass
    // over splits that fall clearly short of it: they could not win.
    std::int64_t search(const Pending& t, std::int64_t n, double wn, std::vector<std::int32_t>& constants) {
        const std::size_t begin = t.begin, m = t.end - t.begin;
        choose_features(t, constants);
        const std::size_t p = chosen_.size();
        NodeStats node{n, wn, totals_.data()};
        node.bounds = t.lineage.bounds;
        if (p_.random_split)
            for (Gathered& g : gathered_) g.best_feature = -1;
        std::atomic<double> reached{-std::numeric_limits<double>::infinity()};
        auto job = [&](std::size_t j, std::size_t worker) {
            if (worker == 0) poll(m);
            const std::size_t f = static_cast<std::size_t>(chosen_[j]);
            Candidate& c = candidates_[f];
            c.reset();
            const std::int64_t ff = static_cast<std::int64_t>(f);
            const bool categorical = d_.n_categories[f] > 0;
            if (p_.random_split) {
                Draws draws(p_.seed, t.lineage.key, f + 1);
                RandomSearch& r = random_[worker];
                if (d_.sparse) return r.sparse_numeric(shared_, ff, sparse_run(runs_[j]), m, node, draws, c);
                const std::uint16_t* codes = &pos_codes_[begin];
                const double* weights = shared_.weight ? &pos_weights_[begin] : nullptr;
                if (categorical) {
                    r.categorical(shared_, ff, &rows_[begin], m, node, draws, c);
                } else if (side_by_side_) {
                    r.numeric(shared_, ff, &node_values_[f * n_rows_ + begin], codes, weights, m, node, draws, c);
                } else {
                    // Gathered, and kept while it is this thread's best, so
                    // that the split's partition reads no column again.
                    Gathered& g = gathered_[worker];
                    if (g.values.size() < m) g.values.resize(m);
                    const Span span = gather_span(shared_.data->x, ff, &rows_[begin], m, g.values.data());
                    r.numeric(shared_, ff, g.values.data(), codes, weights, m, span, node, draws, c);
                    const Candidate* kept = g.best_feature < 0 ? nullptr : &candidates_[static_cast<std::size_t>(g.best_feature)];
                    if (c.found() && (!kept || c.proxy > kept->proxy || (c.proxy == kept->proxy && ff < g.best_feature))) {
                        g.values.swap(g.best);
                        g.best_feature = ff;
                    }
                }
                return;
            }
            FeatureSearch& s = searchers_[worker];
            if (d_.sparse)
                s.sparse_numeric(shared_, ff, sparse_run(runs_[j]), m, node, c, reached.load(std::memory_order_relaxed));
            else if (categorical)
                s.categorical(shared_, ff, &rows_[begin], m, node, c);
            else
                s.numeric(shared_, ff, &sorted_[f][begin], m, node, c,
                          reached.load(std::memory_order_relaxed));
            if (!c.found()) return;
            double seen = reached.load(std::memory_order_relaxed);
            while (c.proxy > seen && !reached.compare_exchange_weak(seen, c.proxy, std::memory_order_relaxed)) {
            }
        };
        if (pool_.size() > 1 && m * p >= kParallelWork) {
            pool_.run(p, job);
        } else {
            for (std::size_t j = 0; j < p; ++j) job(j, 0);
        }
        std::int64_t best = -1;
        double best_proxy = -std::numeric_limits<double>::infinity();
        for (std::int32_t f : chosen_) {
            const Candidate& c = candidates_[static_cast<std::size_t>(f)];
            if (c.found() && c.proxy > best_proxy) {
                best_proxy = c.proxy;
                best = f;
            }
        }
        const std::size_t bf = static_cast<std::size_t>(best);
        if (best >= 0 && !p_.random_split && d_.n_categories[bf] == 0 && !d_.sparse)
            settle_threshold({&sorted_[bf][begin], &d_.x, best, row_mask_}, candidates_[bf]);
        return best;
    }

    // Sparse input: the stored entries of the rows in rows_, column after
    // column, each column's in its order (ascending, NaN last), as values
    // and rows; column f's at positions [col_start_[f], col_start_[f + 1]).
    // stored_ holds positions: a node owns [stored_begin, stored_end) of
    // it, its rows' entries in ascending position (column by column, each
    // in its order). Entries changed since check_input are passed over
    // where they would break that (an index out of range, one twice).
    void gather_sparse() {
        const SparseColumns& s = *d_.sparse;
        const std::size_t n = d_.rows, p = d_.cols;
        std::vector<std::size_t> seen(n, 0);  // per row: 0 weight zero, else the last column (plus one) that stored it
        for (std::uint32_t r : rows_) seen[r] = 1;
        col_start_.assign(p + 1, 0);
        sp_values_.reserve(s.nnz);
        sp_rows_.reserve(s.nnz);
        std::vector<std::pair<double, std::uint32_t>> column;
        for (std::size_t f = 0; f < p; ++f) {
            const std::int64_t b = std::max<std::int64_t>(0, s.start(f));
            const std::int64_t e = std::min<std::int64_t>(static_cast<std::int64_t>(s.nnz), s.start(f + 1));
            column.clear();
            for (std::int64_t k = b; k < e; ++k) {
                const std::int64_t r = s.index(static_cast<std::size_t>(k));
                if (r < 0 || static_cast<std::uint64_t>(r) >= n || seen[static_cast<std::size_t>(r)] == 0 ||
                    seen[static_cast<std::size_t>(r)] == f + 2)
                    continue;
                seen[static_cast<std::size_t>(r)] = f + 2;
                column.emplace_back(s.data[k], static_cast<std::uint32_t>(r));
            }
            std::sort(column.begin(), column.end(), [](const auto& a, const auto& b) {
                const bool na = a.first != a.first, nb = b.first != b.first;
                if (na || nb) return na != nb ? nb : a.second < b.second;
                return a.first < b.first || (a.first == b.first && a.second < b.second);
            });
            for (const auto& [v, r] : column) {
                sp_values_.push_back(v);
                sp_rows_.push_back(r);
            }
            col_start_[f + 1] = sp_values_.size();
        }
        stored_.resize(sp_values_.size());
        for (std::size_t k = 0; k < stored_.size(); ++k) stored_[k] = static_cast<std::uint32_t>(k);
        stored_spill_.resize(stored_.size());
    }

    // Positions [begin, end) of stored_ that hold column f's entries of node t.
    std::pair<std::size_t, std::size_t> run_of(const Pending& t, std::size_t f) const {
        const std::uint32_t* b = stored_.data() + t.stored_begin;
        const std::uint32_t* e = stored_.data() + t.stored_end;
        const std::uint32_t* lo = std::lower_bound(b, e, col_start_[f]);
        const std::uint32_t* hi = std::lower_bound(lo, e, col_start_[f + 1]);
        return {static_cast<std::size_t>(lo - stored_.data()), static_cast<std::size_t>(hi - stored_.data())};
    }

    SparseRun sparse_run(const std::pair<std::size_t, std::size_t>& at) const {
        SparseRun r;
        r.entries = stored_.data() + at.first;
        r.count = at.second - at.first;
        r.values = sp_values_.data();
        r.rows = sp_rows_.data();
        const double* v = sp_values_.data();
        const std::uint32_t* e = r.entries + r.count;
        r.n_negative = static_cast<std::size_t>(
            std::partition_point(r.entries, e, [v](std::uint32_t k) { return v[k] < 0.0; }) - r.entries);
        r.n_missing = static_cast<std::size_t>(
            e - std::partition_point(r.entries, e, [v](std::uint32_t k) { return v[k] == v[k]; }));
        return r;
    }

    // choose_features() for sparse input, runs_ getting each chosen
    // feature's entries. Searching every feature, only those with entries
    // at the node are chosen: the others are zero there, constant.
    void choose_sparse(const Pending& t, std::vector<std::int32_t>& constants) {
        const std::size_t p = d_.cols, m = t.end - t.begin;
        runs_.clear();
        chosen_.clear();
        if (p_.max_features < 0 || static_cast<std::size_t>(p_.max_features) >= p) {
            // Runs and columns both ascend: each is looked for from the last.
            const std::uint32_t* stored = stored_.data();
            const std::size_t* starts = col_start_.data();
            std::size_t f = 0;
            for (std::size_t i = t.stored_begin; i < t.stored_end;) {
                const std::size_t at = stored[i];
                f = static_cast<std::size_t>(
                    gallop(starts + f + 1, starts + p + 1, [at](std::size_t s) { return s <= at; }) - starts - 1);
                const std::size_t end = starts[f + 1];
                const std::size_t e = static_cast<std::size_t>(
                    gallop(stored + i, stored + t.stored_end, [end](std::uint32_t k) { return k < end; }) - stored);
                chosen_.push_back(static_cast<std::int32_t>(f));
                runs_.emplace_back(i, e);
                i = e;
            }
            return;
        }
        auto is_constant = [&](std::int32_t f) {
            return SparseSteps(sparse_run(run_of(t, static_cast<std::size_t>(f))), m).constant();
        };
        Draws draws(p_.seed, t.lineage.key, 0);
        draw_features(p, p_.max_features, t.lineage.constants, draws, is_constant, chosen_, constants, draw_order_,
                      draw_known_);
        for (std::int32_t f : chosen_) runs_.push_back(run_of(t, static_cast<std::size_t>(f)));
    }

    // partition() for sparse input: rows_ and, when a child will be
    // searched (`columns`), the node's stored entries; their split point
    // into o.stored_pos. A row not stored in column f holds zero.
    void partition_sparse(const Pending& t, std::int64_t f, const Candidate& c, bool columns, Open& o) {
        o.stored_begin = o.stored_pos = t.stored_begin;
        o.stored_end = t.stored_end;
        if (counted_ && !columns) return;
        const std::size_t m = t.end - t.begin;
        const bool zeros_left = sends_left(false, c.threshold, c.missing_left, nullptr, 0, 0.0);
        for (std::size_t k = t.begin; k < t.end; ++k) goes_left_.set(rows_[k], zeros_left);
        const auto at = run_of(t, static_cast<std::size_t>(f));
        for (std::size_t k = at.first; k < at.second; ++k) {
            const std::uint32_t e = stored_[k];
            goes_left_.set(sp_rows_[e], sends_left(false, c.threshold, c.missing_left, nullptr, 0, sp_values_[e]));
        }
        const Sides& sides = goes_left_;
        Rows& spill = spills_[0];
        if (spill.size() < m) spill.resize(m);
        stable_partition(rows_.data() + t.begin, m, [&sides](std::uint32_t r) { return sides.left(r); }, spill.data());
        if (!columns) return;
        const std::uint32_t* rows = sp_rows_.data();
        o.stored_pos = t.stored_begin + stable_partition(stored_.data() + t.stored_begin, t.stored_end - t.stored_begin,
                                                         [&sides, rows](std::uint32_t e) { return sides.left(rows[e]); },
                                                         stored_spill_.data());
    }

    // Partitions rows_ (when in use) and every column's arrays, of which
    // only the sides of children to be searched (`read_left`,
    // `read_right`) are kept.
    void partition(std::size_t begin, std::size_t end, std::int64_t f, bool categorical,
                   const Candidate& c, const std::uint64_t* bits, bool read_left, bool read_right) {
        const std::size_t m = end - begin, p = d_.cols;
        const bool columns = read_left || read_right;
        // With whole counts, the rows of children that are not searched are never read.
        if (counted_ && !columns) return;
        if (p_.random_split) {
            partition_at(begin, end, f, categorical, c, bits, columns);
            return;
        }
        if (categorical || sorted_[static_cast<std::size_t>(f)].empty()) {
            const std::int64_t words = categorical ? out_.words_of(f) : 0;
            const RowView& x = shared_.data->x;
            for (std::size_t k = begin; k < end; ++k) {
                const std::uint32_t r = rows_[k];
                goes_left_.set(r, sends_left(categorical, c.threshold, c.missing_left, bits, words, x.at(r, f)));
            }
        } else {
            // In the column's order the values left of the threshold come
            // first and the missing ones last, so a row's side follows from
            // its position: what `x <= threshold` gives, without reading x.
            const std::uint64_t* sorted = &sorted_[static_cast<std::size_t>(f)][begin];
            const std::size_t nm = count_present(sorted, m);
            const std::size_t values_left = static_cast<std::size_t>(c.n_left) - (c.missing_left ? m - nm : 0);
            for (std::size_t k = 0; k < values_left; ++k) goes_left_.set(entry_id(sorted[k]) & row_mask_, true);
            for (std::size_t k = values_left; k < nm; ++k) goes_left_.set(entry_id(sorted[k]) & row_mask_, false);
            for (std::size_t k = nm; k < m; ++k) goes_left_.set(entry_id(sorted[k]) & row_mask_, c.missing_left);
        }
        // Task 0 is the row-order array, task f + 1 column f's.
        auto job = [&](std::size_t task, std::size_t worker) {
            if (task == 0 ? !use_rows_ : !columns) return;
            if (task > 0 && sorted_[task - 1].empty()) return;
            if (worker == 0) poll(m);
            const Sides& sides = goes_left_;
            if (task == 0) {
                Rows& spill = spills_[worker];
                if (spill.size() < m) spill.resize(m);
                stable_partition(rows_.data() + begin, m, [&sides](std::uint32_t r) { return sides.left(r); },
                                 spill.data());
                return;
            }
            std::uint64_t* entries = sorted_[task - 1].data() + begin;
            const std::uint32_t mask = row_mask_;
            if (!(read_left && read_right)) {
                stable_keep(entries, m, read_right,
                            [&sides, mask, read_left](std::uint64_t e) { return sides.left(entry_id(e) & mask) == read_left; });
                return;
            }
            std::vector<std::uint64_t>& spill = spill_entries_[worker];
            if (spill.size() < m) spill.resize(m);
            stable_partition(entries, m, [&sides, mask](std::uint64_t e) { return sides.left(entry_id(e) & mask); },
                             spill.data());
        };
        if (pool_.size() > 1 && m * p >= kParallelWork) {
            pool_.run(p + 1, job);
        } else {
            for (std::size_t t = 0; t <= p; ++t) job(t, 0);
        }
    }

    // partition() for random splits: rows_, the positions' codes and weights
    // and, over every feature, the columns' values in its order, by the side
    // of each position.
    void partition_at(std::size_t begin, std::size_t end, std::int64_t f, bool categorical, const Candidate& c,
                      const std::uint64_t* bits, bool columns) {
        const std::size_t m = end - begin, p = d_.cols;
        const std::int64_t words = categorical ? out_.words_of(f) : 0;
        const RowView& x = shared_.data->x;
        const double* values = nullptr;
        if (!categorical && side_by_side_) {
            values = &node_values_[static_cast<std::size_t>(f) * n_rows_ + begin];
        } else if (!categorical) {
            for (const Gathered& g : gathered_)
                if (g.best_feature == f) values = g.best.data();
        }
        if (values) {
            // sends_left() of a numeric split, in a form the compiler vectorises.
            const double t = c.threshold;
            const bool missing_left = c.missing_left;
            for (std::size_t k = 0; k < m; ++k) {
                const double v = values[k];
                flags_[k] = (v <= t) | ((v != v) & missing_left);
            }
        } else {
            for (std::size_t k = 0; k < m; ++k)
                flags_[k] = sends_left(categorical, c.threshold, c.missing_left, bits, words, x.at(rows_[begin + k], f));
        }
        // Task 0 is rows_ with the codes and weights, task f + 1 column f's values.
        auto job = [&](std::size_t task, std::size_t worker) {
            if (task > 0 && (!side_by_side_ || !columns || d_.n_categories[task - 1] != 0)) return;
            if (worker == 0) poll(m);
            if (task == 0) {
                if (spills_[worker].size() < m) spills_[worker].resize(m);
                stable_partition_at(rows_.data() + begin, flags_.data(), m, spills_[worker].data());
                if (code_spill_.size() < m) code_spill_.resize(m);
                stable_partition_at(pos_codes_.data() + begin, flags_.data(), m, code_spill_.data());
                if (!pos_weights_.empty()) {
                    std::vector<double>& spill = spill_doubles_[worker];
                    if (spill.size() < m) spill.resize(m);
                    stable_partition_at(pos_weights_.data() + begin, flags_.data(), m, spill.data());
                }
                return;
            }
            std::vector<double>& spill = spill_doubles_[worker];
            if (spill.size() < m) spill.resize(m);
            stable_partition_at(&node_values_[(task - 1) * n_rows_ + begin], flags_.data(), m, spill.data());
        };
        const std::size_t tasks = side_by_side_ && columns ? p + 1 : 1;
        if (pool_.size() > 1 && m * p >= kParallelWork) {
            pool_.run(tasks, job);
        } else {
            for (std::size_t t = 0; t < tasks; ++t) job(t, 0);
        }
    }

    const LearnerData& d_;
    const LearnerParams& p_;
    FlatTree& out_;
    Pool pool_;
    CancelPoll poll_;
    SearchShared shared_;
    std::vector<std::uint16_t> codes_;
    std::vector<std::uint32_t> cells_;  // several outputs: SearchShared::cells
    Rows rows_;
    // Per numeric column (empty for categorical ones): the rows in the
    // column's order and their values in single precision beside them, so
    // that a scan reads contiguous memory and goes to the data only where
    // two roundings are equal and for the threshold.
    std::vector<std::vector<std::uint64_t>> sorted_;
    Sides goes_left_;
    std::vector<FeatureSearch> searchers_;  // per thread
    std::vector<RandomSearch> random_;      // per thread
    std::vector<std::int32_t> chosen_;      // the features the node in hand searches, ascending
    std::vector<std::int32_t> draw_order_;  // draw_features' scratch
    std::vector<std::uint8_t> draw_known_;
    bool bounded_ = false;                  // monotonic constraints on two classes: proba_ kept
    std::vector<double> proba_;             // per node: the bounded class probabilities
    // Random splits: each position's class code and weight (real weights only), beside rows_.
    std::vector<std::uint16_t> pos_codes_, code_spill_;
    std::vector<double> pos_weights_;
    // Random splits over drawn features, per thread: the values of the
    // feature in hand and of the thread's best so far at the node.
    struct Gathered {
        std::vector<double> values, best;
        std::int64_t best_feature = -1;
    };
    std::vector<Gathered> gathered_;
    LearnerData view_;                      // the data with x from columns_
    std::vector<double> columns_;           // random splits: x column-major, when it is not
    std::vector<Rows> spills_;              // per thread
    std::vector<std::vector<std::uint64_t>> spill_entries_;
    std::vector<std::vector<double>> spill_doubles_;  // per thread, random splits
    bool side_by_side_ = false;             // node_values_ in use
    std::vector<double> node_values_;       // random splits over every feature: gather_values()
    std::vector<std::uint8_t> flags_;       // random splits: per position of the node split, whether it goes left
    std::vector<Candidate> candidates_;     // per column
    std::vector<double> totals_, right_;
    double total_weight_ = 0.0;
    std::size_t n_rows_ = 0;          // rows of weight above zero
    bool use_rows_ = true;            // rows_ kept and partitioned
    bool counted_ = true;             // unit weights: a node's class counts come from its parent's split
    std::vector<double> root_totals_;  // with counted_: the root's class counts
    std::uint32_t row_mask_ = ~std::uint32_t{0};  // the row id of an entry of sorted_
    // Sparse input (gather_sparse()).
    std::vector<double> sp_values_;
    std::vector<std::uint32_t> sp_rows_, stored_, stored_spill_;
    std::vector<std::size_t> col_start_;
    std::vector<std::pair<std::size_t, std::size_t>> runs_;  // per chosen feature, its node's entries in stored_
};

}  // namespace

void fit(const LearnerData& data, const LearnerParams& params, FlatTree& out, CancelHook* cancel) {
    Grower(data, params, out, cancel).run();
}

}  // namespace tavrin::kernels::learner
