// Bin summaries and exact value lists of the rows a worker holds.
#include "kernels/learner/histogram.hpp"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>
#include <stdexcept>

namespace tavrin::kernels::learner {

namespace {

double weight_of(const HeldRows& held, std::size_t r) { return held.weight ? held.weight[r] : 1.0; }

std::size_t class_of(const HeldRows& held, std::size_t r) {
    const std::int64_t c = held.codes[r];
    if (c < 0 || static_cast<std::size_t>(c) >= held.n_classes) throw std::invalid_argument("class code out of range");
    return static_cast<std::size_t>(c);
}

}  // namespace

void bin_values(const double* x, std::size_t n, std::size_t stride, const double* cuts, std::size_t n_cuts,
                std::uint16_t missing, std::uint16_t* out) {
    for (std::size_t r = 0; r < n; ++r) {
        const double v = x[r * stride];
        if (v != v) {
            out[r * stride] = missing;
            continue;
        }
        // Upper bound without branches on the data: `base` keeps the last
        // cut known to be at or below v, or the first cut.
        const double* base = cuts;
        std::size_t len = n_cuts;
        while (len > 1) {
            const std::size_t half = len / 2;
            base = base[half] <= v ? base + half : base;
            len -= half;
        }
        const std::size_t below = n_cuts == 0 ? 0 : static_cast<std::size_t>(base - cuts) + (*base <= v);
        out[r * stride] = static_cast<std::uint16_t>(below);
    }
}

void build_node_summary(const HeldRows& held, std::int32_t first, std::size_t slots, const std::int64_t* need_lo,
                        std::size_t n_lo, const std::int64_t* need_hi, std::size_t n_hi, const std::uint8_t* counted,
                        NodeSummary& out) {
    const std::size_t p = held.cols, nb = held.n_bins, width = held.n_classes + 1;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    // Per feature and bin, its place among the bins listed (-1: not listed).
    std::vector<std::int64_t> lo_at(p * nb, -1), hi_at(p * nb, -1);
    for (std::size_t j = 0; j < n_lo; ++j) {
        if (need_lo[j] < 0 || static_cast<std::size_t>(need_lo[j]) >= p * nb) throw std::invalid_argument("bin out of range");
        lo_at[static_cast<std::size_t>(need_lo[j])] = static_cast<std::int64_t>(j);
    }
    for (std::size_t j = 0; j < n_hi; ++j) {
        if (need_hi[j] < 0 || static_cast<std::size_t>(need_hi[j]) >= p * nb) throw std::invalid_argument("bin out of range");
        hi_at[static_cast<std::size_t>(need_hi[j])] = static_cast<std::int64_t>(j);
    }
    // Each counted slot's place among them (-1: not counted).
    std::vector<std::int64_t> place(slots, -1);
    std::size_t n_counted = 0;
    for (std::size_t s = 0; s < slots; ++s)
        if (!counted || counted[s]) place[s] = static_cast<std::int64_t>(n_counted++);
    out.counts.assign(n_counted * p * (nb + 1) * width, 0.0);
    out.span.resize(slots * p * 2);
    for (std::size_t i = 0; i < slots * p; ++i) {
        out.span[2 * i] = kInf;
        out.span[2 * i + 1] = -kInf;
    }
    out.lo.assign(slots * n_lo, kInf);
    out.hi.assign(slots * n_hi, -kInf);
    // The rows slot by slot (a counting sort), so that a slot's counts stay
    // in cache while its rows are added.
    std::vector<std::size_t> start(slots + 1, 0);
    auto slot_of = [&](std::size_t r) { return static_cast<std::int64_t>(held.slot[r]) - first; };
    for (std::size_t r = 0; r < held.rows; ++r) {
        const std::int64_t s = slot_of(r);
        if (s >= 0 && static_cast<std::size_t>(s) < slots) ++start[static_cast<std::size_t>(s) + 1];
    }
    for (std::size_t i = 1; i <= slots; ++i) start[i] += start[i - 1];
    std::vector<std::size_t> order(start[slots]);
    for (std::size_t r = 0; r < held.rows; ++r) {
        const std::int64_t s = slot_of(r);
        if (s >= 0 && static_cast<std::size_t>(s) < slots) order[start[static_cast<std::size_t>(s)]++] = r;
    }
    for (const std::size_t r : order) {
        const std::size_t su = static_cast<std::size_t>(slot_of(r));
        const double w = weight_of(held, r);
        if (w == 0.0) continue;
        const std::size_t c = class_of(held, r);
        const std::int64_t in = place[su];
        for (std::size_t f = 0; f < p; ++f) {
            const std::size_t b = held.bins[r * p + f];
            if (b > nb) throw std::invalid_argument("bin out of range");
            const std::size_t at = su * p + f;
            if (in >= 0) {
                double* cell = &out.counts[((static_cast<std::size_t>(in) * p + f) * (nb + 1) + b) * width];
                cell[c] += w;
                cell[width - 1] += 1.0;
            }
            if (b == nb) continue;
            const double v = held.x[r * p + f];
            out.span[2 * at] = std::min(out.span[2 * at], v);
            out.span[2 * at + 1] = std::max(out.span[2 * at + 1], v);
            const std::int64_t l = lo_at[f * nb + b], h = hi_at[f * nb + b];
            if (l >= 0) out.lo[su * n_lo + static_cast<std::size_t>(l)] = std::min(out.lo[su * n_lo + static_cast<std::size_t>(l)], v);
            if (h >= 0) out.hi[su * n_hi + static_cast<std::size_t>(h)] = std::max(out.hi[su * n_hi + static_cast<std::size_t>(h)], v);
        }
    }
}

void list_values(const HeldRows& held, const std::int64_t* requests, std::size_t k, ValueLists& out) {
    const std::size_t p = held.cols, nb = held.n_bins, width = held.n_classes + 1;
    // The requests grouped by (slot, feature), looked up by direct index:
    // wanted[start[s * p + f] .. start[s * p + f + 1]) are (bin, request)
    // pairs; few per node and feature.
    std::int64_t slots = 0;
    for (std::size_t q = 0; q < k; ++q) {
        const std::int64_t s = requests[3 * q], f = requests[3 * q + 1], b = requests[3 * q + 2];
        if (s < 0 || s >= (std::int64_t{1} << 31) || f < 0 || static_cast<std::size_t>(f) >= p || b < 0 ||
            static_cast<std::size_t>(b) >= nb)
            throw std::invalid_argument("request out of range");
        slots = std::max(slots, s + 1);
    }
    std::vector<std::size_t> start(static_cast<std::size_t>(slots) * p + 2, 0);
    for (std::size_t q = 0; q < k; ++q)
        ++start[static_cast<std::size_t>(requests[3 * q]) * p + static_cast<std::size_t>(requests[3 * q + 1]) + 2];
    for (std::size_t i = 2; i < start.size(); ++i) start[i] += start[i - 1];
    std::vector<std::pair<std::int64_t, std::size_t>> wanted(k);
    for (std::size_t q = 0; q < k; ++q) {
        const std::size_t at = static_cast<std::size_t>(requests[3 * q]) * p + static_cast<std::size_t>(requests[3 * q + 1]);
        wanted[start[at + 1]++] = {requests[3 * q + 2], q};
    }
    struct Entry {
        std::size_t request;
        double value;
        std::size_t row;
    };
    // Per slot, the features it requests: features[asked[s] .. asked[s + 1]).
    std::vector<std::size_t> asked(static_cast<std::size_t>(slots) + 1, 0);
    std::vector<std::uint32_t> features;
    for (std::size_t s = 0; s < static_cast<std::size_t>(slots); ++s) {
        for (std::size_t f = 0; f < p; ++f)
            if (start[s * p + f] != start[s * p + f + 1]) features.push_back(static_cast<std::uint32_t>(f));
        asked[s + 1] = features.size();
    }
    std::vector<Entry> entries;
    for (std::size_t r = 0; r < held.rows; ++r) {
        const std::int64_t s = held.slot[r];
        if (s < 0 || s >= slots || weight_of(held, r) == 0.0) continue;
        const std::size_t* range = &start[static_cast<std::size_t>(s) * p];
        for (std::size_t a = asked[static_cast<std::size_t>(s)]; a < asked[static_cast<std::size_t>(s) + 1]; ++a) {
            const std::size_t f = features[a];
            const std::int64_t b = held.bins[r * p + f];
            for (std::size_t w = range[f]; w < range[f + 1]; ++w)
                if (wanted[w].first == b) entries.push_back({wanted[w].second, held.x[r * p + f], r});
        }
    }
    // Row order is kept among equal values, so that each value's weights
    // are summed in row order.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.request < b.request || (a.request == b.request && a.value < b.value);
    });
    out.offsets.assign(k + 1, 0);
    out.values.clear();
    out.counts.clear();
    std::size_t e = 0;
    for (std::size_t q = 0; q < k; ++q) {
        out.offsets[q] = static_cast<std::int64_t>(out.values.size());
        for (; e < entries.size() && entries[e].request == q; ++e) {
            if (out.values.size() == static_cast<std::size_t>(out.offsets[q]) || out.values.back() != entries[e].value) {
                out.values.push_back(entries[e].value);
                out.counts.resize(out.counts.size() + width, 0.0);
            }
            double* cell = &out.counts[out.counts.size() - width];
            cell[class_of(held, entries[e].row)] += weight_of(held, entries[e].row);
            cell[width - 1] += 1.0;
        }
    }
    out.offsets[k] = static_cast<std::int64_t>(out.values.size());
}

void merge_lists(const ValueLists& a, const ValueLists& b, std::size_t width, ValueLists& out) {
    const std::size_t k = a.offsets.size() - 1;
    if (a.offsets.empty() || b.offsets.size() != a.offsets.size()) throw std::invalid_argument("lists of other requests");
    out.offsets.assign(k + 1, 0);
    out.values.clear();
    out.counts.clear();
    auto take = [&](const ValueLists& from, std::size_t i, bool add) {
        const double* cell = &from.counts[i * width];
        if (!add) {
            out.values.push_back(from.values[i]);
            out.counts.insert(out.counts.end(), cell, cell + width);
            return;
        }
        double* to = &out.counts[out.counts.size() - width];
        for (std::size_t c = 0; c < width; ++c) to[c] += cell[c];
    };
    for (std::size_t q = 0; q < k; ++q) {
        out.offsets[q] = static_cast<std::int64_t>(out.values.size());
        std::size_t i = static_cast<std::size_t>(a.offsets[q]), j = static_cast<std::size_t>(b.offsets[q]);
        const std::size_t ie = static_cast<std::size_t>(a.offsets[q + 1]), je = static_cast<std::size_t>(b.offsets[q + 1]);
        while (i < ie || j < je) {
            if (j == je || (i < ie && a.values[i] < b.values[j])) {
                take(a, i++, false);
            } else if (i == ie || b.values[j] < a.values[i]) {
                take(b, j++, false);
            } else {
                take(a, i++, false);
                take(b, j++, true);
            }
        }
    }
    out.offsets[k] = static_cast<std::int64_t>(out.values.size());
}

void route_rows(const HeldRows& held, const LevelSplits& splits, std::int32_t* slot_out, double* below,
                double* above) {
    const std::size_t p = held.cols;
    for (std::size_t r = 0; r < held.rows; ++r) {
        const std::int32_t s = held.slot[r];
        slot_out[r] = -1;
        if (s < 0 || static_cast<std::size_t>(s) >= splits.nodes || splits.feature[s] < 0) continue;
        const std::size_t f = static_cast<std::size_t>(splits.feature[s]);
        if (f >= p) throw std::invalid_argument("split feature out of range");
        const double v = held.x[r * p + f];
        const std::int64_t b = splits.bin[s];
        bool left;
        if (v != v) {
            left = splits.missing_left[s] != 0;
        } else if (b >= 0) {
            const std::int64_t own = held.bins[r * p + f];
            left = own < b || (own == b && v <= splits.bin_value[s]);
            if (weight_of(held, r) != 0.0) {
                if (left) below[s] = std::max(below[s], v);
                else above[s] = std::min(above[s], v);
            }
        } else if (splits.threshold[s] == splits.threshold[s]) {
            left = v <= splits.threshold[s];
        } else {
            const std::size_t code = static_cast<std::size_t>(v);
            if (!(v >= 0.0) || code / 64 >= splits.words) throw std::invalid_argument("category code out of range");
            left = (splits.sets[static_cast<std::size_t>(s) * splits.words + code / 64] >> (code % 64)) & 1U;
        }
        slot_out[r] = left ? splits.to_left[s] : splits.to_right[s];
    }
}

}  // namespace tavrin::kernels::learner
