// What the learner refuses before it starts, as sentences for the user.
#include "kernels/learner/learner.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace tavrin::kernels::learner {

namespace {

std::string check_params(const LearnerParams& p) {
    if (p.max_depth < -1) return "max_depth must be -1 (unbounded) or at least 0";
    if (p.min_samples_split < 2) return "min_samples_split must be at least 2";
    if (p.min_samples_leaf < 1) return "min_samples_leaf must be at least 1";
    if (!(p.min_weight_leaf >= 0.0) || !std::isfinite(p.min_weight_leaf))
        return "min_weight_leaf must be a finite number at least 0";
    if (!(p.min_impurity_decrease >= 0.0) || !std::isfinite(p.min_impurity_decrease))
        return "min_impurity_decrease must be a finite number at least 0";
    if (p.max_leaf_nodes != -1 && p.max_leaf_nodes < 2)
        return "max_leaf_nodes must be -1 (unbounded) or at least 2";
    if (p.n_threads < 1) return "n_threads must be at least 1";
    if (p.max_features != -1 && p.max_features < 1) return "max_features must be -1 (all) or at least 1";
    if (p.root_depth < 0) return "the root's depth must be at least 0";
    if (!(p.total_weight >= 0.0) || !std::isfinite(p.total_weight))
        return "the total weight must be a finite number at least 0";
    if (!(p.root.bounds.lower <= p.root.bounds.upper)) return "the root's value bounds must be ordered";
    return {};
}

}  // namespace

std::string check_compressed(const SparseColumns& m, std::size_t lines, std::size_t width, bool unique) {
    // Entry positions are 32-bit in the learner's arrays.
    if (m.nnz >= (std::size_t{1} << 32) - 1) return "the sparse matrix stores too many values (2**32 or more)";
    std::int64_t prev = m.start(0);
    if (prev < 0) return "the sparse matrix's indptr must start at 0 or more";
    for (std::size_t i = 1; i <= lines; ++i) {
        const std::int64_t next = m.start(i);
        if (next < prev) return "the sparse matrix's indptr must not decrease";
        prev = next;
    }
    if (static_cast<std::uint64_t>(prev) > m.nnz) return "the sparse matrix's indptr points past its stored values";
    // Per index, the last line (plus one) that held it.
    std::vector<std::size_t> seen(unique ? width : 0, 0);
    for (std::size_t i = 0; i < lines; ++i) {
        const std::size_t b = static_cast<std::size_t>(m.start(i)), e = static_cast<std::size_t>(m.start(i + 1));
        for (std::size_t k = b; k < e; ++k) {
            const std::int64_t j = m.index(k);
            if (j < 0 || static_cast<std::uint64_t>(j) >= width)
                return "the sparse matrix holds an index outside 0 .. " + std::to_string(width) + "-1";
            if (std::isinf(m.data[k])) return "X holds an infinite value";
            if (!unique) continue;
            if (seen[static_cast<std::size_t>(j)] == i + 1) return "the sparse matrix stores one entry twice";
            seen[static_cast<std::size_t>(j)] = i + 1;
        }
    }
    return {};
}

std::string check_input(const LearnerData& d, const LearnerParams& p) {
    std::string bad = check_params(p);
    if (!bad.empty()) return bad;
    if (d.rows == 0) return "X has no row";
    if (d.cols == 0) return "X has no column";
    // Node ids of the walk are 32-bit: a tree has fewer than 2 * rows nodes.
    if (d.rows >= (std::size_t{1} << 30)) return "X has too many rows";
    if (d.n_classes < 1 || d.n_classes > 65535) return "n_classes must be between 1 and 65535";
    for (std::size_t r = 0; r < d.rows; ++r)
        if (d.y[r] < 0 || d.y[r] >= d.n_classes) return "y holds a class code outside 0 .. n_classes-1";
    if (d.n_outputs < 1 || d.n_outputs > 65535) return "n_outputs must be between 1 and 65535";
    if (d.n_outputs > 1) {
        if (!d.output_classes || !d.joint) return "several outputs need their classes and combinations";
        if (p.monotonic) return "Monotonicity constraints are not supported with multiple outputs.";
        const std::size_t k = static_cast<std::size_t>(d.n_outputs);
        for (std::size_t o = 0; o < k; ++o)
            if (d.output_classes[o] < 1 || d.output_classes[o] > 65535)
                return "every output must have between 1 and 65535 classes";
        for (std::size_t c = 0; c < static_cast<std::size_t>(d.n_classes); ++c)
            for (std::size_t o = 0; o < k; ++o)
                if (d.joint[c * k + o] < 0 || d.joint[c * k + o] >= d.output_classes[o])
                    return "a combination of classes holds a class outside its output's";
    }
    if (d.weight) {
        double total = 0.0;
        for (std::size_t r = 0; r < d.rows; ++r) {
            if (!std::isfinite(d.weight[r]) || d.weight[r] < 0.0)
                return "sample_weight must be finite and not negative";
            total += d.weight[r];
        }
        if (!(total > 0.0)) return "sample_weight sums to zero";
    }
    for (std::size_t f = 0; f < d.cols; ++f) {
        const std::int64_t k = d.n_categories[f];
        if (k < 0 || k > kMaxCategories)
            return "n_categories must be between 0 and " + std::to_string(kMaxCategories);
        if (p.monotonic && (p.monotonic[f] < -1 || p.monotonic[f] > 1))
            return "monotonic constraints must be -1, 0 or 1";
        if (p.monotonic && p.monotonic[f] != 0 && k != 0)
            return "column " + std::to_string(f) + " is categorical: it cannot take a monotonic constraint";
    }
    std::vector<std::uint8_t> known(d.cols, 0);
    for (std::int32_t f : p.root.constants) {
        if (f < 0 || static_cast<std::size_t>(f) >= d.cols || known[static_cast<std::size_t>(f)])
            return "the root's known constant features must be distinct columns";
        known[static_cast<std::size_t>(f)] = 1;
    }
    if (p.monotonic && d.n_classes > 2) return "Monotonicity constraints are not supported with multiclass classification";
    if (d.sparse) {
        if (std::any_of(d.n_categories, d.n_categories + d.cols, [](std::int64_t k) { return k != 0; }))
            return "categorical columns need dense input: X is sparse";
        return check_compressed(*d.sparse, d.cols, d.rows, true);
    }
    // Walked in the order of memory: by rows when a row's values are the
    // nearer ones, by columns otherwise.
    const bool by_rows = std::abs(d.x.row_stride) >= std::abs(d.x.col_stride);
    const std::size_t outer = by_rows ? d.rows : d.cols, inner = by_rows ? d.cols : d.rows;
    if (std::all_of(d.n_categories, d.n_categories + d.cols, [](std::int64_t k) { return k == 0; })) {
        // Numeric columns only: a pass the compiler vectorises.
        const std::ptrdiff_t outer_stride = by_rows ? d.x.row_stride : d.x.col_stride;
        const std::ptrdiff_t inner_stride = by_rows ? d.x.col_stride : d.x.row_stride;
        const double inf = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < outer; ++i) {
            const double* line = d.x.data + static_cast<std::ptrdiff_t>(i) * outer_stride;
            bool infinite = false;
            for (std::size_t j = 0; j < inner; ++j)
                infinite |= std::fabs(line[static_cast<std::ptrdiff_t>(j) * inner_stride]) == inf;
            if (infinite) return "X holds an infinite value";
        }
        return {};
    }
    for (std::size_t i = 0; i < outer; ++i) {
        for (std::size_t j = 0; j < inner; ++j) {
            const std::size_t r = by_rows ? i : j, f = by_rows ? j : i;
            const double v = d.x.at(r, static_cast<std::int64_t>(f));
            if (v != v) continue;
            const std::int64_t k = d.n_categories[f];
            if (k == 0) {
                if (std::isinf(v)) return "X holds an infinite value";
            } else if (!(v >= 0.0 && v < static_cast<double>(k)) || v != std::floor(v)) {
                return "a categorical column holds a code outside 0 .. n_categories-1";
            }
        }
    }
    return {};
}

}  // namespace tavrin::kernels::learner
