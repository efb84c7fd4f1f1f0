// The search of one node over one feature: every threshold of a numeric
// column (missing values sent right, then left, then alone to the right)
// and every prefix of the category orders of a categorical column. A
// candidate wins only when its proxy is strictly above the best so far, so
// the first of equal candidates in scan order stays.
#pragma once

#include "kernels/learner/criterion.hpp"
#include "kernels/learner/learner.hpp"
#include "kernels/learner/monotonic.hpp"
#include "kernels/learner/split_rule.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace tavrin::kernels::learner {

// Entries of a numeric column's row array: the row id, and with `tagged`
// the row's class code in the bits above kRowBits.
constexpr int kRowBits = 24;
constexpr std::uint32_t kRowMask = (std::uint32_t{1} << kRowBits) - 1;

// What every search of one fit shares (read only during the search).
struct SearchShared {
    const LearnerData* data = nullptr;
    const LearnerParams* params = nullptr;
    Impurity impurity{Criterion::gini, 1};
    std::size_t n_classes = 0;
    const std::uint16_t* codes = nullptr;  // by row: class code (small: the scans gather it)
    const double* weight = nullptr;       // by row, or null for unit weights
    bool tagged = false;
    // Several outputs: a code's class in each output, as indices into the
    // class weights (code * outputs + k); null with one output, where a
    // code is its class.
    std::size_t outputs = 1;
    const std::uint32_t* cells = nullptr;

    // Adds weight w of a row of class code `code` to the class weights `counts`.
    void add_to(double* counts, std::size_t code, double w) const {
        if (!cells) {
            counts[code] += w;
            return;
        }
        const std::uint32_t* at = cells + code * outputs;
        for (std::size_t k = 0; k < outputs; ++k) counts[at[k]] += w;
    }
};

// An entry of a numeric column's sorted array: the row's value rounded to
// single precision in the high half (its bits), its id in the low half (the
// row, with its class code above kRowBits when tagged). One 64-bit word, so
// that a partition moves each entry with one store per place.
inline std::uint64_t make_entry(float approx, std::uint32_t id) {
    std::uint32_t bits;
    std::memcpy(&bits, &approx, sizeof bits);
    return std::uint64_t{bits} << 32 | id;
}
inline std::uint32_t entry_id(std::uint64_t e) { return static_cast<std::uint32_t>(e); }
inline float entry_approx(std::uint64_t e) {
    const std::uint32_t bits = static_cast<std::uint32_t>(e >> 32);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
// How many of a node's m entries come before its missing values (last).
inline std::size_t count_present(const std::uint64_t* entries, std::size_t m) {
    std::size_t nm = m;
    while (nm > 0 && entry_approx(entries[nm - 1]) != entry_approx(entries[nm - 1])) --nm;
    return nm;
}

// A node's entries in a numeric column's order (rounding keeps order, so
// values whose roundings differ differ); the exact values come from the data.
struct SortedValues {
    const std::uint64_t* entries;
    const RowView* x;
    std::int64_t f;
    std::uint32_t mask;  // an entry's row id bits

    float approx(std::size_t k) const { return entry_approx(entries[k]); }
    double exact(std::size_t k) const { return x->at(entry_id(entries[k]) & mask, f); }
    // Whether the values at positions a < b lie more than kFeatureThreshold
    // apart, so that a split may fall between them. Rounding to single
    // precision moves a value by at most 2**-24 of itself (or 2**-150):
    // roundings far enough apart decide without reading the data.
    bool apart(std::size_t a, std::size_t b) const {
        const double lo = approx(a), hi = approx(b);
        if (hi - lo > 2.0 * kFeatureThreshold + 0x1p-23 * (std::fabs(lo) + std::fabs(hi))) return true;
        return values_apart(exact(a), exact(b));
    }
};

// Whether a node's m entries in `v` hold one value (no two more than
// kFeatureThreshold apart, none missing) or only missing ones; the data are
// read only where the roundings are close.
inline bool constant_values(const SortedValues& v, std::size_t m) {
    const std::size_t nm = count_present(v.entries, m);
    return nm == 0 || (nm == m && !v.apart(0, nm - 1));
}

// A node's stored entries of one column of a sparse matrix, ascending by
// value: the negative ones, then the others, then the missing (NaN) ones.
// Entry k is position entries[k] of `values` and `rows`; the node's other
// rows hold zero.
struct SparseRun {
    const std::uint32_t* entries = nullptr;
    std::size_t count = 0, n_negative = 0, n_missing = 0;
    const double* values = nullptr;
    const std::uint32_t* rows = nullptr;

    double value(std::size_t k) const { return values[entries[k]]; }
    std::uint32_t row(std::size_t k) const { return rows[entries[k]]; }
};

// The present values of a node of m rows in a sparse column, in the order
// the dense scan meets them: each negative entry, then every zero of the
// node as one step (when it has any), then the other stored values.
struct SparseSteps {
    const SparseRun& run;
    std::size_t zeros;  // the node's rows not stored

    SparseSteps(const SparseRun& r, std::size_t m) : run(r), zeros(m - r.count) {}
    std::size_t count() const { return run.count - run.n_missing + (zeros ? 1 : 0); }
    bool is_zeros(std::size_t j) const { return zeros && j == run.n_negative; }
    std::size_t entry(std::size_t j) const { return zeros && j > run.n_negative ? j - 1 : j; }
    double value(std::size_t j) const { return is_zeros(j) ? 0.0 : run.value(entry(j)); }
    // As constant_values() for the node's sorted values.
    bool constant() const {
        const std::size_t n = count();
        return n == 0 || (run.n_missing == 0 && !values_apart(value(0), value(n - 1)));
    }
};

// The node being searched.
struct NodeStats {
    std::int64_t n = 0;             // rows
    double weight = 0.0;            // their total weight
    const double* totals = nullptr; // class weights
    ValueBounds bounds;             // of the node's value, under monotonic constraints
};

// The best candidate of one feature.
struct Candidate {
    double proxy = -std::numeric_limits<double>::infinity();
    std::int64_t n_left = 0;
    double threshold = 0.0;
    bool missing_left = false;
    std::vector<double> left;   // class weights on the left
    double weight_left = 0.0;
    // Categorical: the categories in the winning order and how many of
    // them go left.
    std::vector<std::int32_t> order;
    std::size_t prefix = 0;
    // A numeric scan's best split lies between positions `at` and `at + 1`
    // of the sorted values, or above them all (`at_end`); its threshold is
    // formed by settle_threshold() only once the candidate wins its node,
    // as it reads two values from the data.
    std::size_t at = 0;
    bool at_end = false;

    bool found() const { return proxy != -std::numeric_limits<double>::infinity(); }
    void reset() { proxy = -std::numeric_limits<double>::infinity(); }
};

// The categories a categorical candidate sends left, into the zeroed
// `words` words at `set` (bit c % 64 of word c / 64), as the tree stores
// them. Categories the node never saw go with the missing values.
inline void write_category_set(const Candidate& c, std::uint64_t* set, std::size_t words) {
    if (c.missing_left) std::fill_n(set, words, ~std::uint64_t{0});
    for (std::int32_t cat : c.order) set[cat / 64] &= ~(std::uint64_t{1} << (cat % 64));
    for (std::size_t k = 0; k < c.prefix; ++k) set[c.order[k] / 64] |= std::uint64_t{1} << (c.order[k] % 64);
}

// The threshold of a numeric scan's candidate over the node's values `v`:
// the midpoint of the values either side of it, or +inf above them all.
inline void settle_threshold(const SortedValues& v, Candidate& c) {
    c.threshold = c.at_end ? std::numeric_limits<double>::infinity() : midpoint(v.exact(c.at), v.exact(c.at + 1));
}

// Scratch of one thread, reused across nodes.
class FeatureSearch {
public:
    // `sorted`: the node's m entries ascending by column f's value, missing
    // last (see make_entry). `floor`: a proxy
    // some split of the node reaches (another feature's best, say): splits
    // that fall clearly short of it may go unrecorded.
    void numeric(const SearchShared& sh, std::int64_t f, const std::uint64_t* sorted, std::size_t m, const NodeStats& node, Candidate& best,
                 double floor = -std::numeric_limits<double>::infinity());
    // The same search over a node of m rows of a sparse column (`run` its
    // stored entries), through the same candidates as numeric() over the
    // column made dense.
    void sparse_numeric(const SearchShared& sh, std::int64_t f, const SparseRun& run, std::size_t m,
                        const NodeStats& node, Candidate& best,
                        double floor = -std::numeric_limits<double>::infinity());
    // `rows`: the node's m rows in any order.
    void categorical(const SearchShared& sh, std::int64_t f, const std::uint32_t* rows,
                     std::size_t m, const NodeStats& node, Candidate& best);
    // The same search over counts already made (the distributed fit's
    // merged ones): per category of the k, then for the missing values,
    // the class weights and the rows (n_classes + 1 numbers); a category
    // of no rows is not in the node.
    void categorical_counts(const SearchShared& sh, std::size_t k, const double* table, const NodeStats& node,
                            Candidate& best);

private:
    // Looks at the split with n_left rows and the class weights of
    // `counts` on the left; records it in `best` when admissible, a split
    // at all (`distinct()`, asked last) and strictly better.
    template <class Counts, class Distinct>
    bool consider(const SearchShared& sh, const NodeStats& node, Counts& counts, std::int64_t n_left,
                  Candidate& best, const Distinct& distinct);
    template <class Counts>
    bool settle(const SearchShared& sh, const NodeStats& node, const Counts& counts, std::int64_t n_left,
                double wl, double wr, Candidate& best);
    // The category orders of a categorical node whose tables are filled
    // (present_: the categories it holds, ascending).
    void search_categories(const SearchShared& sh, const NodeStats& node, std::int64_t n_missing,
                           double missing_weight, Candidate& best);
    // The two passes over a numeric node: values[0, nm), then m - nm
    // missing rows.
    template <bool Weighted, class Counts>
    void scan_sorted(const SearchShared& sh, const NodeStats& node, const SortedValues& values, std::size_t nm,
                     std::size_t m, Counts& counts, Candidate& best);

    // Calls scan(weighted, counts) with the running class weights that
    // fit the node's classes, outputs, weights and size (weighted: a
    // std::bool_constant, whether rows carry weights).
    template <class Scan>
    void with_counts(const SearchShared& sh, const NodeStats& node, std::size_t m, const Scan& scan);
    // The two passes of scan_sorted over a sparse column's steps, the
    // zeros' class weights (zeros_) added class by class, their weight
    // (zero_weight_) once.
    template <bool Weighted, class Counts>
    void scan_sparse(const SearchShared& sh, const NodeStats& node, const SparseSteps& steps, Counts& counts,
                     Candidate& best);

    // What a split must come near to be looked at: the larger of this and
    // the best so far.
    double floor_ = -std::numeric_limits<double>::infinity();
    std::int8_t monotonic_ = 0;  // the searched feature's constraint
    std::vector<double> weights_, left_, right_, counts_, missing_, zeros_;
    double zero_weight_ = 0.0;  // scan_sparse: the zeros' weight
    std::vector<std::uint16_t> codes_;
    std::vector<std::int32_t> present_, order_;
    std::vector<double> cat_counts_, cat_weight_, share_;
    std::vector<std::int64_t> cat_rows_;
};

}  // namespace tavrin::kernels::learner
