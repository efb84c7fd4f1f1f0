// The whole-tree builder. Each numeric feature is sorted once; every node
// then owns the range [begin, end) of one row array per numeric feature
// (its rows in that feature's order) and of `rows` (its rows in row order).
// A split partitions each array's range stably, so both children keep
// their rows in training row order in `rows`, and sorted by value, NaN
// last, in each feature's array.
#include "kernels/tree_builder.hpp"

#include "kernels/class_sweep.hpp"
#include "kernels/learner/presort.hpp"
#include "kernels/node_scan.hpp"
#include "kernels/partition.hpp"

#include <algorithm>
#include <cstring>

namespace tavrin::kernels {

namespace {

using Rows = std::vector<std::uint32_t>;

// The presort's buffers, reused from column to column.
struct Presort {
    Rows rows;                  // 0 .. n-1
    std::vector<float> approx;  // the sort's single-precision values
    std::vector<double> copy;   // a column that is no strided double array
    learner::PresortScratch sort;
};

// The rows in ascending order of the column's value, NaN last, and with
// `values` their values in that order. The sort runs on the values rounded
// to single precision (half the passes of a sort on the doubles), with
// runs of equal roundings put in order by their exact values afterwards.
void presort(const BuildInput& in, const BuildColumn& col, Rows& out, std::vector<double>* values,
             Presort& scratch) {
    // The sort reads the column as a strided array of doubles; a column
    // whose layout is not one is copied for it first.
    const std::size_t n = in.rows;
    learner::RowView x{reinterpret_cast<const double*>(col.data), col.stride / std::ptrdiff_t{sizeof(double)}, 0};
    if (col.stride % std::ptrdiff_t{sizeof(double)} != 0 ||
        reinterpret_cast<std::uintptr_t>(col.data) % alignof(double) != 0) {
        scratch.copy.resize(n);
        for (std::size_t r = 0; r < n; ++r) scratch.copy[r] = col.value(r);
        x = learner::RowView{scratch.copy.data(), 1, 0};
    }
    if (scratch.rows.size() != n) {
        scratch.rows.resize(n);
        for (std::uint32_t r = 0; r < n; ++r) scratch.rows[r] = r;
    }
    scratch.approx.resize(n);
    learner::presort_rows(x, 0, scratch.rows, out, scratch.approx, scratch.sort);
    if (values) {
        values->resize(n);
        for (std::size_t k = 0; k < n; ++k) (*values)[k] = x.at(out[k], 0);
    }
}

struct Task {
    std::size_t begin, end;
    std::int32_t depth;
    std::int32_t parent;  // -1 for the root
    bool is_left;
};

class Builder {
public:
    Builder(const BuildInput& in, BuiltTree& out) : in_(in), out_(out), poll_(in.cancel) {}

    BuildStatus run() {
        rows_.resize(in_.rows);
        for (std::uint32_t r = 0; r < in_.rows; ++r) rows_[r] = r;
        sorted_.resize(in_.columns.size());
        if (in_.values_beside_rows) {
            sorted_values_.resize(in_.columns.size());
            spill_values_.resize(in_.rows);
        }
        {
            Presort scratch;
            for (std::size_t f = 0; f < in_.columns.size(); ++f) {
                if (!in_.columns[f].categorical)
                    presort(in_, in_.columns[f], sorted_[f], in_.values_beside_rows ? &sorted_values_[f] : nullptr,
                            scratch);
                if (poll_.stop(in_.rows * 8)) return BuildStatus::cancelled;
            }
        }
        goes_left_.assign(in_.rows, 0);
        if (in_.n_classes == 2) {
            scratch_.row_is_one.resize(in_.rows);
            for (std::size_t r = 0; r < in_.rows; ++r) scratch_.row_is_one[r] = in_.codes[r] == 1;
        }
        scratch_.inverse.resize(in_.rows + 1);
        for (std::size_t k = 1; k <= in_.rows; ++k) scratch_.inverse[k] = 1.0 / static_cast<double>(k);
        counts_.assign(in_.n_classes, 0);

        std::vector<Task> stack{{0, in_.rows, 0, -1, false}};
        while (!stack.empty()) {
            const Task task = stack.back();
            stack.pop_back();
            if (!grow(task, stack)) return status_;
        }
        if (out_.searched) {
            out_.last_searched_rows.assign(rows_.begin() + static_cast<std::ptrdiff_t>(last_begin_),
                                           rows_.begin() + static_cast<std::ptrdiff_t>(last_end_));
            std::sort(out_.last_searched_rows.begin(), out_.last_searched_rows.end());
        }
        return BuildStatus::ok;
    }

private:
    // One node: its summary, its search and, with a split, its children
    // pushed right first so that the left subtree is grown first.
    bool grow(const Task& t, std::vector<Task>& stack) {
        const std::size_t m = t.end - t.begin;
        const std::size_t n = in_.n_classes;
        std::fill(counts_.begin(), counts_.end(), 0);
        for (std::size_t k = t.begin; k < t.end; ++k) ++counts_[static_cast<std::size_t>(in_.codes[rows_[k]])];

        BuiltNode node;
        node.depth = t.depth;
        std::size_t majority = 0;
        for (std::size_t c = 1; c < n; ++c)
            if (counts_[c] > counts_[majority]) majority = c;
        node.predicted = static_cast<std::int32_t>(majority);
        node.majority = counts_[majority];
        node.total = static_cast<long long>(m);
        const std::int32_t id = static_cast<std::int32_t>(out_.nodes.size());
        if (t.parent >= 0) {
            BuiltNode& parent = out_.nodes[static_cast<std::size_t>(t.parent)];
            (t.is_left ? parent.left : parent.right) = id;
        }
        out_.depth = std::max(out_.depth, t.depth);
        out_.nodes.push_back(node);

        if (!(t.depth < in_.depth_limit) || m <= 1) return true;
        out_.searched = true;
        last_begin_ = t.begin;
        last_end_ = t.end;
        if (counts_[majority] == static_cast<long long>(m)) return true;  // pure: no position beats 0

        NodeBest best;
        best.gini = side_impurity(counts_.data(), n, static_cast<double>(m));
        for (std::size_t f = 0; f < in_.columns.size(); ++f) {
            if (poll_.stop(m)) return cancelled();
            const BuildColumn& col = in_.columns[f];
            const std::int32_t feature = static_cast<std::int32_t>(f);
            if (col.categorical) {
                if (!scan_categorical(in_, col, feature, &rows_[t.begin], m, counts_.data(), scratch_, best))
                    return false;
            } else {
                const double* values = sorted_values_.empty() ? nullptr : &sorted_values_[f][t.begin];
                scan_numeric(in_, col, feature, &sorted_[f][t.begin], values, m, counts_.data(), scratch_, best);
            }
        }
        if (best.feature < 0) return true;
        const BuildColumn& col = in_.columns[static_cast<std::size_t>(best.feature)];
        if (col.categorical && !settle_category_order(in_, scratch_, best)) return false;

        // The split sends left the rows whose value is below the threshold;
        // NaN and missing categories go right.
        std::size_t n_left = 0;
        if (col.categorical) {
            code_of_rank_.assign(static_cast<std::size_t>(col.n_ranks), -1);
            for (std::size_t k = 0; k < best.cat_order.size(); ++k)
                code_of_rank_[static_cast<std::size_t>(best.cat_order[k])] = static_cast<std::int32_t>(k);
            for (std::size_t k = t.begin; k < t.end; ++k) {
                const std::uint32_t r = rows_[k];
                const std::int32_t rank = col.ranks[r];
                const bool left = rank >= 0 && static_cast<double>(code_of_rank_[static_cast<std::size_t>(rank)]) < best.threshold;
                goes_left_[r] = left;
                n_left += left;
            }
        } else if (!sorted_values_.empty()) {
            // In the feature's order the rows below the threshold are a
            // prefix (NaN last, never below).
            const std::size_t f = static_cast<std::size_t>(best.feature);
            const double* values = &sorted_values_[f][t.begin];
            const std::uint32_t* sorted = &sorted_[f][t.begin];
            while (n_left < m && values[n_left] < best.threshold) goes_left_[sorted[n_left++]] = 1;
            for (std::size_t k = n_left; k < m; ++k) goes_left_[sorted[k]] = 0;
        } else {
            for (std::size_t k = t.begin; k < t.end; ++k) {
                const std::uint32_t r = rows_[k];
                const bool left = col.value(r) < best.threshold;
                goes_left_[r] = left;
                n_left += left;
            }
        }
        // A split that sends every row one way stays a leaf.
        if (n_left == 0 || n_left == m) return true;

        BuiltNode& self = out_.nodes[static_cast<std::size_t>(id)];
        self.feature = best.feature;
        self.threshold = best.threshold;
        if (col.categorical) {
            self.cat_begin = static_cast<std::uint32_t>(out_.cat_ranks.size());
            for (std::size_t k = 0; k < best.cat_order.size() && static_cast<double>(k) < best.threshold; ++k)
                out_.cat_ranks.push_back(best.cat_order[k]);
            self.cat_count = static_cast<std::uint32_t>(out_.cat_ranks.size()) - self.cat_begin;
        }

        spill_.resize(std::max(spill_.size(), m));
        const char* flags = goes_left_.data();
        const auto goes_left = [flags](std::uint32_t r) { return flags[r] != 0; };
        stable_partition(&rows_[t.begin], m, goes_left, spill_.data());
        // Children that the depth limit keeps from a search need only their
        // rows, not the features' orders.
        const bool children_searched = t.depth + 1 < in_.depth_limit;
        for (std::size_t f = 0; f < in_.columns.size() && children_searched; ++f) {
            if (in_.columns[f].categorical) continue;
            if (sorted_values_.empty())
                stable_partition(&sorted_[f][t.begin], m, goes_left, spill_.data());
            else
                stable_partition(&sorted_[f][t.begin], &sorted_values_[f][t.begin], m, goes_left, spill_.data(),
                                 spill_values_.data());
        }

        const std::size_t mid = t.begin + n_left;
        stack.push_back({mid, t.end, t.depth + 1, id, false});
        stack.push_back({t.begin, mid, t.depth + 1, id, true});
        return true;
    }

    bool cancelled() {
        status_ = BuildStatus::cancelled;
        return false;
    }

    const BuildInput& in_;
    BuiltTree& out_;
    CancelPoll poll_;
    BuildStatus status_ = BuildStatus::abandoned;  // why grow() returned false
    Rows rows_;                  // every node's rows in training row order
    std::vector<Rows> sorted_;   // per numeric feature: rows in its order
    std::vector<std::vector<double>> sorted_values_;  // and their values, if kept
    std::vector<double> spill_values_;
    std::vector<char> goes_left_;
    std::vector<long long> counts_;
    std::vector<std::int32_t> code_of_rank_;
    Rows spill_;
    ScanScratch scratch_;
    std::size_t last_begin_ = 0, last_end_ = 0;
};

}  // namespace

BuildStatus build_tree(const BuildInput& in, BuiltTree& out) {
    out = BuiltTree{};
    return Builder(in, out).run();
}

}  // namespace tavrin::kernels
