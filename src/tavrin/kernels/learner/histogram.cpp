// Bin summaries and exact value lists of the rows a worker holds.
#include "kernels/learner/histogram.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
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
                std::uint16_t missing, std::size_t out_stride, std::uint16_t* out) {
    // Upper bounds without branches on the data, kGroup values at a time so
    // that their searches overlap: `base[g]` keeps the last cut known to be
    // at or below value g, or the first cut.
    constexpr std::size_t kGroup = 8;
    auto finish = [&](std::size_t r, double v, const double* base) {
        const std::size_t below = n_cuts == 0 ? 0 : static_cast<std::size_t>(base - cuts) + (*base <= v);
        out[r * out_stride] = v != v ? missing : static_cast<std::uint16_t>(below);
    };
    std::size_t r = 0;
    for (; r + kGroup <= n; r += kGroup) {
        double v[kGroup];
        const double* base[kGroup];
        for (std::size_t g = 0; g < kGroup; ++g) {
            v[g] = x[(r + g) * stride];
            base[g] = cuts;
        }
        for (std::size_t len = n_cuts; len > 1;) {
            const std::size_t half = len / 2;
            for (std::size_t g = 0; g < kGroup; ++g) base[g] = base[g][half] <= v[g] ? base[g] + half : base[g];
            len -= half;
        }
        for (std::size_t g = 0; g < kGroup; ++g) finish(r + g, v[g], base[g]);
    }
    for (; r < n; ++r) {
        const double v = x[r * stride];
        const double* base = cuts;
        for (std::size_t len = n_cuts; len > 1;) {
            const std::size_t half = len / 2;
            base = base[half] <= v ? base + half : base;
            len -= half;
        }
        finish(r, v, base);
    }
}

void order_rows(const HeldRows& held, std::size_t n_slots, RowOrder& out) {
    if (held.rows > static_cast<std::size_t>(INT32_MAX)) throw std::invalid_argument("too many rows");
    out.starts.assign(n_slots + 1, 0);
    auto kept = [&](std::size_t r) {
        const std::int32_t s = held.slot[r];
        return s >= 0 && static_cast<std::size_t>(s) < n_slots && weight_of(held, r) != 0.0;
    };
    for (std::size_t r = 0; r < held.rows; ++r)
        if (kept(r)) ++out.starts[static_cast<std::size_t>(held.slot[r]) + 1];
    for (std::size_t s = 1; s <= n_slots; ++s) out.starts[s] += out.starts[s - 1];
    out.order.resize(static_cast<std::size_t>(out.starts[n_slots]));
    std::vector<std::int64_t> at(out.starts.begin(), out.starts.end() - 1);
    for (std::size_t r = 0; r < held.rows; ++r)
        if (kept(r)) out.order[static_cast<std::size_t>(at[static_cast<std::size_t>(held.slot[r])]++)] = static_cast<std::int32_t>(r);
}

namespace {

// The rows of slot `s` (empty past the order's slots), checked to be rows.
std::pair<const std::int32_t*, const std::int32_t*> rows_of_slot(const HeldRows& held, const OrderView& by_slot,
                                                                 std::int64_t s) {
    if (s < 0 || static_cast<std::size_t>(s) >= by_slot.slots) return {nullptr, nullptr};
    const std::int32_t* a = by_slot.order + by_slot.starts[s];
    const std::int32_t* z = by_slot.order + by_slot.starts[s + 1];
    for (const std::int32_t* r = a; r != z; ++r)
        if (*r < 0 || static_cast<std::size_t>(*r) >= held.rows) throw std::invalid_argument("row out of range");
    return {a, z};
}

// Rows are read in slot order, far apart in memory: a row's class, weight
// and bins are asked for this many rows ahead.
constexpr std::ptrdiff_t kAhead = 12;

[[gnu::always_inline]] inline void prefetch_row(const HeldRows& held, std::size_t r, bool values = false) {
    __builtin_prefetch(held.codes + r);
    if (held.weight) __builtin_prefetch(held.weight + r);
    const std::uint16_t* bins = held.bins + r * held.cols;
    __builtin_prefetch(bins);
    if (held.cols > 1) __builtin_prefetch(bins + held.cols - 1);
    if (values)
        for (std::size_t f = 0; f < held.cols; f += 8) __builtin_prefetch(held.x + r * held.cols + f);
}

}  // namespace

void build_node_summary(const HeldRows& held, const OrderView& by_slot, std::int32_t first, std::size_t slots,
                        const std::int64_t* need_lo, std::size_t n_lo, const std::int64_t* need_hi, std::size_t n_hi,
                        const std::uint8_t* counted, NodeSummary& out) {
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
    const bool whole = held.weight == nullptr;
    if (whole ? !out.whole : !out.counts) throw std::invalid_argument("no counts to write");
    const std::size_t stride = whole ? held.n_classes : width;  // numbers per bin
    out.span.resize(slots * p * 2);
    for (std::size_t i = 0; i < slots * p; ++i) {
        out.span[2 * i] = kInf;
        out.span[2 * i + 1] = -kInf;
    }
    out.lo.assign(slots * n_lo, kInf);
    out.hi.assign(slots * n_hi, -kInf);
    // Per feature, the lowest and highest bin seen in the slot so far: the
    // span comes from the rows of those bins only (bins are ordered like
    // their values).
    std::vector<std::size_t> min_bin(p), max_bin(p);
    // Per feature and bin: whether either list asks for it.
    std::vector<std::uint8_t> needed(p * nb, 0);
    for (std::size_t i = 0; i < p * nb; ++i) needed[i] = lo_at[i] >= 0 || hi_at[i] >= 0;
    for (std::size_t su = 0; su < slots; ++su) {
        const auto [a, z] = rows_of_slot(held, by_slot, static_cast<std::int64_t>(first) + static_cast<std::int64_t>(su));
        const std::int64_t in = place[su];
        const std::size_t at = static_cast<std::size_t>(in) * p * (nb + 1) * stride;
        double* table = in >= 0 && !whole ? out.counts + at : nullptr;
        std::uint32_t* rows = in >= 0 && whole ? out.whole + at : nullptr;
        double* span = out.span.data() + 2 * su * p;
        double* low = out.lo.data() + su * n_lo;
        double* high = out.hi.data() + su * n_hi;
        std::fill(min_bin.begin(), min_bin.end(), nb);
        std::fill(max_bin.begin(), max_bin.end(), 0);
        for (const std::int32_t* it = a; it != z; ++it) {
            if (z - it > kAhead) prefetch_row(held, static_cast<std::size_t>(it[kAhead]), true);
            const std::size_t r = static_cast<std::size_t>(*it);
            const bool counting = rows || table;
            const std::size_t c = counting ? class_of(held, r) : 0;
            const double w = counting ? weight_of(held, r) : 0.0;
            const std::uint16_t* row_bins = held.bins + r * p;
            const double* row = held.x + r * p;
            for (std::size_t f = 0; f < p; ++f) {
                const std::size_t b = row_bins[f];
                if (b > nb) throw std::invalid_argument("bin out of range");
                if (rows) {
                    ++rows[(f * (nb + 1) + b) * stride + c];
                } else if (table) {
                    double* cell = table + (f * (nb + 1) + b) * width;
                    cell[c] += w;
                    cell[width - 1] += 1.0;
                }
                if (b == nb) continue;
                if (b <= min_bin[f]) {
                    span[2 * f] = b < min_bin[f] ? std::min(kInf, row[f]) : std::min(span[2 * f], row[f]);
                    min_bin[f] = b;
                }
                if (b >= max_bin[f]) {
                    span[2 * f + 1] = b > max_bin[f] ? std::max(-kInf, row[f]) : std::max(span[2 * f + 1], row[f]);
                    max_bin[f] = b;
                }
                if (!needed[f * nb + b]) continue;
                const std::int64_t l = lo_at[f * nb + b], h = hi_at[f * nb + b];
                if (l >= 0) low[l] = std::min(low[l], row[f]);
                if (h >= 0) high[h] = std::max(high[h], row[f]);
            }
        }
    }
}

void list_runs(const HeldRows& held, const OrderView& by_slot, const std::int64_t* requests, std::size_t k,
               const std::int32_t* runs, const double* low, const double* high, RunLists& out) {
    const std::size_t p = held.cols, nb = held.n_bins, width = held.n_classes + 1;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    // Where each request's runs start among all the runs.
    std::vector<std::int64_t> run_start(k + 1, 0);
    for (std::size_t q = 0; q < k; ++q) {
        const std::int64_t s = requests[3 * q], f = requests[3 * q + 1], b = requests[3 * q + 2];
        if (s < 0 || s >= (std::int64_t{1} << 31) || f < 0 || static_cast<std::size_t>(f) >= p || b < 0 ||
            static_cast<std::size_t>(b) >= nb || runs[q] < 0 || runs[q] > (1 << 20))
            throw std::invalid_argument("request out of range");
        if (q > 0 && !(requests[3 * q - 3] < s || (requests[3 * q - 3] == s && (requests[3 * q - 2] < f ||
                                                   (requests[3 * q - 2] == f && requests[3 * q - 1] < b)))))
            throw std::invalid_argument("requests must ascend");
        run_start[q + 1] = run_start[q] + runs[q];
    }
    const std::size_t total = static_cast<std::size_t>(run_start[k]);
    out.counts.assign(total * width, 0.0);
    out.lo.assign(total, kInf);
    out.hi.assign(total, -kInf);
    out.kept = KeptEntries{};
    ValueLists& lists = out.lists;
    lists.offsets.assign(k + 1, 0);
    lists.values.clear();
    lists.counts.clear();
    // Per feature and bin of the slot at hand, its request (-1: none).
    std::vector<std::int64_t> wanted(p * nb, -1);
    std::vector<std::size_t> features;
    struct Entry {
        std::size_t request;
        double value;
        std::size_t row;
    };
    std::vector<Entry> entries;
    std::size_t q = 0;
    while (q < k) {
        const std::int64_t s = requests[3 * q];
        std::size_t end = q;
        features.clear();
        for (; end < k && requests[3 * end] == s; ++end) {
            const std::size_t f = static_cast<std::size_t>(requests[3 * end + 1]);
            if (features.empty() || features.back() != f) features.push_back(f);
            wanted[f * nb + static_cast<std::size_t>(requests[3 * end + 2])] = static_cast<std::int64_t>(end);
        }
        const auto [a, z] = rows_of_slot(held, by_slot, s);
        entries.clear();
        for (const std::int32_t* it = a; it != z; ++it) {
            if (z - it > kAhead) prefetch_row(held, static_cast<std::size_t>(it[kAhead]), true);
            const std::size_t r = static_cast<std::size_t>(*it);
            const std::uint16_t* row_bins = held.bins + r * p;
            for (const std::size_t f : features) {
                const std::size_t b = row_bins[f];
                if (b >= nb) continue;
                const std::int64_t at = wanted[f * nb + b];
                if (at < 0) continue;
                const std::size_t w = static_cast<std::size_t>(at);
                const double v = held.x[r * p + f];
                const std::int32_t cut = runs[w];
                if (cut == 0) {
                    entries.push_back({w, v, r});
                    continue;
                }
                // The value's run: the same arithmetic on every worker.
                const double span = high[w] - low[w];
                const double place = std::floor((v - low[w]) / span * static_cast<double>(cut));
                std::int64_t run = 0;
                if (std::isfinite(place) && span > 0.0 && std::isfinite(span))
                    run = static_cast<std::int64_t>(std::min(std::max(place, 0.0), static_cast<double>(cut - 1)));
                run += run_start[w];
                const std::size_t ru = static_cast<std::size_t>(run);
                double* cell = &out.counts[ru * width];
                const std::size_t c = class_of(held, r);
                const double weight = weight_of(held, r);
                cell[c] += weight;
                cell[width - 1] += 1.0;
                // The first of equal smallest values, the last of equal largest.
                if (v < out.lo[ru]) out.lo[ru] = v;
                if (v >= out.hi[ru]) out.hi[ru] = v;
                out.kept.run.push_back(run);
                out.kept.value.push_back(v);
                out.kept.code.push_back(static_cast<std::int32_t>(c));
                if (held.weight) out.kept.weight.push_back(weight);
            }
        }
        // Row order is kept among equal values, so that each value's weights
        // are summed in row order.
        std::stable_sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
            return x.request < y.request || (x.request == y.request && x.value < y.value);
        });
        std::size_t e = 0;
        for (std::size_t w = q; w < end; ++w) {
            wanted[static_cast<std::size_t>(requests[3 * w + 1]) * nb + static_cast<std::size_t>(requests[3 * w + 2])] = -1;
            lists.offsets[w] = static_cast<std::int64_t>(lists.values.size());
            for (; e < entries.size() && entries[e].request == w; ++e) {
                if (lists.values.size() == static_cast<std::size_t>(lists.offsets[w]) || lists.values.back() != entries[e].value) {
                    lists.values.push_back(entries[e].value);
                    lists.counts.resize(lists.counts.size() + width, 0.0);
                }
                double* cell = &lists.counts[lists.counts.size() - width];
                cell[class_of(held, entries[e].row)] += weight_of(held, entries[e].row);
                cell[width - 1] += 1.0;
            }
        }
        q = end;
    }
    lists.offsets[k] = static_cast<std::int64_t>(lists.values.size());
}

void run_lists(const KeptEntries& kept, bool weighted, std::size_t n_classes, const std::int64_t* picked,
               std::size_t n_picked, ValueLists& out) {
    const std::size_t width = n_classes + 1, n = kept.run.size();
    if (kept.value.size() != n || kept.code.size() != n || (weighted && kept.weight.size() != n))
        throw std::invalid_argument("entries of unequal lengths");
    for (std::size_t i = 1; i < n_picked; ++i)
        if (!(picked[i - 1] < picked[i])) throw std::invalid_argument("picked runs must ascend");
    std::vector<std::size_t> taken;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t* at = std::lower_bound(picked, picked + n_picked, kept.run[i]);
        if (at != picked + n_picked && *at == kept.run[i]) taken.push_back(i);
    }
    // Entries are in row order within a run: kept among equal values.
    std::stable_sort(taken.begin(), taken.end(), [&](std::size_t a, std::size_t b) {
        return kept.run[a] < kept.run[b] || (kept.run[a] == kept.run[b] && kept.value[a] < kept.value[b]);
    });
    out.offsets.assign(n_picked + 1, 0);
    out.values.clear();
    out.counts.clear();
    std::size_t e = 0;
    for (std::size_t j = 0; j < n_picked; ++j) {
        out.offsets[j] = static_cast<std::int64_t>(out.values.size());
        const std::size_t begin = out.values.size();
        for (; e < taken.size() && kept.run[taken[e]] == picked[j]; ++e) {
            const std::size_t i = taken[e];
            if (out.values.size() == begin || out.values.back() != kept.value[i]) {
                out.values.push_back(kept.value[i]);
                out.counts.resize(out.counts.size() + width, 0.0);
            }
            const std::size_t c = static_cast<std::size_t>(kept.code[i]);
            if (c >= n_classes) throw std::invalid_argument("class code out of range");
            double* cell = &out.counts[out.counts.size() - width];
            cell[c] += weighted ? kept.weight[i] : 1.0;
            cell[width - 1] += 1.0;
        }
    }
    out.offsets[n_picked] = static_cast<std::int64_t>(out.values.size());
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

void route_rows(const HeldRows& held, const OrderView& by_slot, const LevelSplits& splits, std::int32_t* slot_out,
                double* below, double* above) {
    const std::size_t p = held.cols;
    std::fill_n(slot_out, held.rows, -1);
    for (std::size_t s = 0; s < splits.nodes && s < by_slot.slots; ++s) {
        if (splits.feature[s] < 0) continue;
        const std::size_t f = static_cast<std::size_t>(splits.feature[s]);
        if (f >= p) throw std::invalid_argument("split feature out of range");
        const auto [a, z] = rows_of_slot(held, by_slot, static_cast<std::int64_t>(s));
        const std::int64_t b = splits.bin[s];
        for (const std::int32_t* it = a; it != z; ++it) {
            if (z - it > kAhead) __builtin_prefetch(held.x + static_cast<std::size_t>(it[kAhead]) * p + f);
            const std::size_t r = static_cast<std::size_t>(*it);
            const double v = held.x[r * p + f];
            bool left;
            if (v != v) {
                left = splits.missing_left[s] != 0;
            } else if (b >= 0) {
                const std::int64_t own = held.bins[r * p + f];
                left = own < b || (own == b && v <= splits.bin_value[s]);
                if (left) below[s] = std::max(below[s], v);
                else above[s] = std::min(above[s], v);
            } else if (splits.threshold[s] == splits.threshold[s]) {
                left = v <= splits.threshold[s];
            } else {
                const std::size_t code = static_cast<std::size_t>(v);
                if (!(v >= 0.0) || code / 64 >= splits.words) throw std::invalid_argument("category code out of range");
                left = (splits.sets[s * splits.words + code / 64] >> (code % 64)) & 1U;
            }
            slot_out[r] = left ? splits.to_left[s] : splits.to_right[s];
        }
    }
}

}  // namespace tavrin::kernels::learner
