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

void add_to_ranges(const double* x, std::size_t n, std::size_t stride, const std::uint16_t* bins,
                   std::size_t bin_stride, const double* weight, std::size_t nb, double* lo, double* hi, double* rows) {
    for (std::size_t r = 0; r < n; ++r) {
        const std::size_t b = bins[r * bin_stride];
        if (b >= nb || (weight && weight[r] == 0.0)) continue;
        const double v = x[r * stride];
        lo[b] = std::min(lo[b], v);
        hi[b] = std::max(hi[b], v);
        rows[b] += 1.0;
    }
}

void lay_out(const HeldRows& held, const std::int32_t* order, const std::int32_t* slot, std::size_t n_slots,
             Layout& out) {
    if (held.rows > static_cast<std::size_t>(INT32_MAX)) throw std::invalid_argument("too many rows");
    const std::size_t p = held.cols;
    out.starts.assign(n_slots + 1, 0);
    auto kept = [&](std::size_t i) {
        const std::int32_t s = slot[i];
        return s >= 0 && static_cast<std::size_t>(s) < n_slots && weight_of(held, i) != 0.0;
    };
    for (std::size_t i = 0; i < held.rows; ++i)
        if (kept(i)) ++out.starts[static_cast<std::size_t>(slot[i]) + 1];
    for (std::size_t s = 1; s <= n_slots; ++s) out.starts[s] += out.starts[s - 1];
    const std::size_t m = static_cast<std::size_t>(out.starts[n_slots]);
    out.bins.resize(m * p);
    out.codes.resize(m);
    out.order.resize(m);
    out.weight.resize(held.weight ? m : 0);
    std::vector<std::int64_t> at(out.starts.begin(), out.starts.end() - 1);
    for (std::size_t i = 0; i < held.rows; ++i) {
        if (!kept(i)) continue;
        const std::size_t j = static_cast<std::size_t>(at[static_cast<std::size_t>(slot[i])]++);
        std::copy_n(held.bins + i * p, p, out.bins.data() + j * p);
        out.codes[j] = held.codes[i];
        out.order[j] = order[i];
        if (held.weight) out.weight[j] = held.weight[i];
    }
}

namespace {

// The positions of slot `s` (empty past the order's slots), their rows
// checked to be rows of x.
std::pair<const std::int32_t*, const std::int32_t*> rows_of_slot(const HeldRows& held, const OrderView& by_slot,
                                                                 std::int64_t s) {
    if (s < 0 || static_cast<std::size_t>(s) >= by_slot.slots) return {nullptr, nullptr};
    if (by_slot.starts[s] < 0 || by_slot.starts[s] > by_slot.starts[s + 1] ||
        static_cast<std::size_t>(by_slot.starts[s + 1]) > held.rows)
        throw std::invalid_argument("slot out of range");
    const std::int32_t* a = by_slot.order + by_slot.starts[s];
    const std::int32_t* z = by_slot.order + by_slot.starts[s + 1];
    for (const std::int32_t* r = a; r != z; ++r)
        if (*r < 0 || static_cast<std::size_t>(*r) >= held.x_rows) throw std::invalid_argument("row out of range");
    return {a, z};
}

// Values lie in row order, apart from the positions that need them: they
// are read after a pass over the positions, each asked for this many reads
// ahead.
constexpr std::size_t kAhead = 12;
// Reads wait until this many have gathered.
constexpr std::size_t kChunk = 4096;

// A value to read: where it is in x and what it is for.
struct Read {
    std::size_t at;
    std::int64_t first, second;
};

template <class Use>
void read_values(const double* x, const std::vector<Read>& reads, Use use) {
    for (std::size_t k = 0; k < reads.size(); ++k) {
        if (k + kAhead < reads.size()) __builtin_prefetch(x + reads[k + kAhead].at);
        use(reads[k], x[reads[k].at]);
    }
}

}  // namespace

void bin_ranges(const HeldRows& held, const OrderView& by_slot, double* lo, double* hi, double* rows) {
    const std::size_t p = held.cols, nb = held.n_bins;
    std::fill(lo, lo + p * nb, std::numeric_limits<double>::infinity());
    std::fill(hi, hi + p * nb, -std::numeric_limits<double>::infinity());
    std::fill(rows, rows + p * nb, 0.0);
    bool bad = false;
    for (std::size_t s = 0; s < by_slot.slots; ++s) {
        const auto [a, z] = rows_of_slot(held, by_slot, static_cast<std::int64_t>(s));
        const std::size_t base = static_cast<std::size_t>(a - by_slot.order);
        for (std::size_t i = base, end = base + static_cast<std::size_t>(z - a); i < end; ++i) {
            const std::uint16_t* row_bins = held.bins + i * p;
            const double* values = held.x + static_cast<std::size_t>(by_slot.order[i]) * p;
            for (std::size_t f = 0; f < p; ++f) {
                const std::size_t b = row_bins[f];
                bad |= b > nb;
                if (b >= nb) continue;
                const std::size_t at = f * nb + b;
                lo[at] = std::min(lo[at], values[f]);
                hi[at] = std::max(hi[at], values[f]);
                rows[at] += 1.0;
            }
        }
    }
    if (bad) throw std::invalid_argument("bin out of range");
}

void build_node_summary(const HeldRows& held, const OrderView& by_slot, const std::int64_t* slot_of, std::size_t slots,
                        const std::int64_t* need_lo, std::size_t n_lo, const std::int64_t* need_hi, std::size_t n_hi,
                        const std::uint8_t* counted, NodeSummary& out) {
    const std::size_t p = held.cols, nb = held.n_bins, width = held.n_classes + 1;
    constexpr double kInf = std::numeric_limits<double>::infinity();
    // Per feature and bin, its place among the bins listed (-1: not listed).
    std::vector<std::int32_t> lo_at(p * nb, -1), hi_at(p * nb, -1);
    for (std::size_t j = 0; j < n_lo; ++j) {
        if (need_lo[j] < 0 || static_cast<std::size_t>(need_lo[j]) >= p * nb) throw std::invalid_argument("bin out of range");
        lo_at[static_cast<std::size_t>(need_lo[j])] = static_cast<std::int32_t>(j);
    }
    for (std::size_t j = 0; j < n_hi; ++j) {
        if (need_hi[j] < 0 || static_cast<std::size_t>(need_hi[j]) >= p * nb) throw std::invalid_argument("bin out of range");
        hi_at[static_cast<std::size_t>(need_hi[j])] = static_cast<std::int32_t>(j);
    }
    // Per feature and bin whether either list asks for it.
    std::vector<std::uint8_t> needed(p * nb, 0);
    for (std::size_t i = 0; i < p * nb; ++i) needed[i] = lo_at[i] >= 0 || hi_at[i] >= 0;
    // Each counted slot's place among them (-1: not counted).
    std::vector<std::int64_t> place(slots, -1);
    std::size_t n_counted = 0;
    for (std::size_t s = 0; s < slots; ++s)
        if (!counted || counted[s]) place[s] = static_cast<std::int64_t>(n_counted++);
    const bool whole = held.weight == nullptr;
    if (whole ? !out.whole : !out.counts) throw std::invalid_argument("no counts to write");
    const std::size_t stride = whole ? held.n_classes : width;  // numbers per bin
    const std::size_t per_feature = (nb + 1) * stride;
    out.span.clear();
    if (out.spans) {
        out.span.resize(slots * p * 2);
        for (std::size_t i = 0; i < slots * p; ++i) {
            out.span[2 * i] = kInf;
            out.span[2 * i + 1] = -kInf;
        }
    }
    out.lo.assign(slots * n_lo, kInf);
    out.hi.assign(slots * n_hi, -kInf);
    // Per feature, the lowest and highest bin seen in the slot so far: the
    // span comes from the rows of those bins only (bins are ordered like
    // their values), and starts again when a lower (higher) bin is seen.
    // Values to read wait in chunks (kChunk): those of listed
    // bins (`listed`: their places in lo and hi) and those that may be an
    // extreme (`edge`: the feature, and the bin, or -1 - the bin for the
    // largest), read only if their bin is still the extreme one then.
    std::vector<std::size_t> min_bin(p), max_bin(p);
    std::vector<Read> listed, edge;
    // A bin past the missing one is counted as missing and refused once
    // the slots are done: the tables are never written out of bounds.
    bool bad = false;
    for (std::size_t su = 0; su < slots; ++su) {
        const auto [a, z] = rows_of_slot(held, by_slot, slot_of[su]);
        const std::int64_t in = place[su];
        const std::size_t at = static_cast<std::size_t>(in) * p * per_feature;
        double* table = in >= 0 && !whole ? out.counts + at : nullptr;
        std::uint32_t* rows = in >= 0 && whole ? out.whole + at : nullptr;
        double* span = out.spans ? out.span.data() + 2 * su * p : nullptr;
        double* low = out.lo.data() + su * n_lo;
        double* high = out.hi.data() + su * n_hi;
        std::fill(min_bin.begin(), min_bin.end(), nb);
        std::fill(max_bin.begin(), max_bin.end(), 0);
        auto read = [&] {
            read_values(held.x, listed, [&](const Read& r, double v) {
                if (r.first >= 0) low[r.first] = std::min(low[r.first], v);
                if (r.second >= 0) high[r.second] = std::max(high[r.second], v);
            });
            read_values(held.x, edge, [&](const Read& r, double v) {
                const std::size_t f = static_cast<std::size_t>(r.first);
                if (r.second >= 0 && static_cast<std::size_t>(r.second) == min_bin[f])
                    span[2 * f] = std::min(span[2 * f], v);
                else if (r.second < 0 && static_cast<std::size_t>(-1 - r.second) == max_bin[f])
                    span[2 * f + 1] = std::max(span[2 * f + 1], v);
            });
            listed.clear();
            edge.clear();
        };
        const std::size_t base = static_cast<std::size_t>(a - by_slot.order);
        for (std::size_t i = base, end = base + static_cast<std::size_t>(z - a); i < end; ++i) {
            const std::uint16_t* row_bins = held.bins + i * p;
            const std::size_t row = static_cast<std::size_t>(by_slot.order[i]) * p;
            if (rows) {
                std::uint32_t* cell = rows + class_of(held, i);
                for (std::size_t f = 0; f < p; ++f) {
                    const std::size_t b = row_bins[f];
                    bad |= b > nb;
                    ++cell[f * per_feature + std::min(b, nb) * stride];
                }
            } else if (table) {
                const std::size_t c = class_of(held, i);
                const double w = weight_of(held, i);
                for (std::size_t f = 0; f < p; ++f) {
                    const std::size_t b = row_bins[f];
                    bad |= b > nb;
                    double* cell = table + f * per_feature + std::min(b, nb) * width;
                    cell[c] += w;
                    cell[width - 1] += 1.0;
                }
            }
            if (!span && n_lo == 0 && n_hi == 0) continue;  // no value to read
            for (std::size_t f = 0; f < p; ++f) {
                const std::size_t b = row_bins[f];
                if (b >= nb) continue;
                if (span) {
                    if (b <= min_bin[f]) {
                        if (b < min_bin[f]) span[2 * f] = kInf;
                        min_bin[f] = b;
                        edge.push_back({row + f, static_cast<std::int64_t>(f), static_cast<std::int64_t>(b)});
                    }
                    if (b >= max_bin[f]) {
                        if (b > max_bin[f]) span[2 * f + 1] = -kInf;
                        max_bin[f] = b;
                        edge.push_back({row + f, static_cast<std::int64_t>(f), -1 - static_cast<std::int64_t>(b)});
                    }
                }
                if (needed[f * nb + b]) listed.push_back({row + f, lo_at[f * nb + b], hi_at[f * nb + b]});
            }
            if (listed.size() + edge.size() >= kChunk) read();
        }
        read();
    }
    if (bad) throw std::invalid_argument("bin out of range");
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
    std::vector<std::int32_t> wanted(p * nb, -1);
    std::vector<std::size_t> features;
    struct Entry {
        std::size_t request;
        double value;
        std::size_t row;
    };
    std::vector<Entry> entries;
    std::vector<Read> hits;
    std::size_t q = 0;
    while (q < k) {
        const std::int64_t s = requests[3 * q];
        std::size_t end = q;
        features.clear();
        for (; end < k && requests[3 * end] == s; ++end) {
            const std::size_t f = static_cast<std::size_t>(requests[3 * end + 1]);
            if (features.empty() || features.back() != f) features.push_back(f);
            wanted[f * nb + static_cast<std::size_t>(requests[3 * end + 2])] = static_cast<std::int32_t>(end);
        }
        const auto [a, z] = rows_of_slot(held, by_slot, s);
        entries.clear();
        // A wanted bin's value is read after the pass has found its place
        // (hits: the value's place, the request, the position), kChunk at
        // a time, in position order.
        auto take = [&](const Read& hit, double v) {
            const std::size_t w = static_cast<std::size_t>(hit.first), i = static_cast<std::size_t>(hit.second);
            const std::int32_t cut = runs[w];
            if (cut == 0) {
                entries.push_back({w, v, i});
                return;
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
            const std::size_t c = class_of(held, i);
            const double weight = weight_of(held, i);
            cell[c] += weight;
            cell[width - 1] += 1.0;
            // The first of equal smallest values, the last of equal largest.
            if (v < out.lo[ru]) out.lo[ru] = v;
            if (v >= out.hi[ru]) out.hi[ru] = v;
            out.kept.run.push_back(run);
            out.kept.value.push_back(v);
            out.kept.code.push_back(static_cast<std::int32_t>(c));
            if (held.weight) out.kept.weight.push_back(weight);
        };
        const std::size_t base = static_cast<std::size_t>(a - by_slot.order);
        for (std::size_t i = base, stop = base + static_cast<std::size_t>(z - a); i < stop; ++i) {
            const std::uint16_t* row_bins = held.bins + i * p;
            const std::size_t row = static_cast<std::size_t>(by_slot.order[i]) * p;
            for (const std::size_t f : features) {
                const std::size_t b = row_bins[f];
                if (b >= nb) continue;
                const std::int64_t at = wanted[f * nb + b];
                if (at >= 0) hits.push_back({row + f, at, static_cast<std::int64_t>(i)});
            }
            if (hits.size() >= kChunk) {
                read_values(held.x, hits, take);
                hits.clear();
            }
        }
        read_values(held.x, hits, take);
        hits.clear();
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

void route_rows(const HeldRows& held, const OrderView& by_slot, const LevelSplits& splits, const double* lo,
                const double* hi, std::int32_t* slot_out, double* below, double* above) {
    const std::size_t p = held.cols, nb = held.n_bins;
    std::fill_n(slot_out, held.rows, -1);
    // Per bin of the split's feature: 0 all left, 1 all right, 2 read the value.
    std::vector<std::uint8_t> side(nb);
    // The positions whose value decides (a read's `second`); per side, the
    // positions whose value may be the extreme (that of the highest bin
    // sent left, of the lowest sent right).
    std::vector<Read> reads;
    for (std::size_t s = 0; s < splits.nodes && s < by_slot.slots; ++s) {
        if (splits.feature[s] < 0) continue;
        const std::size_t f = static_cast<std::size_t>(splits.feature[s]);
        if (f >= p) throw std::invalid_argument("split feature out of range");
        const auto [a, z] = rows_of_slot(held, by_slot, static_cast<std::int64_t>(s));
        const std::size_t base = static_cast<std::size_t>(a - by_slot.order), end = base + static_cast<std::size_t>(z - a);
        const std::int64_t b = splits.bin[s];
        const std::int32_t to[2] = {splits.to_left[s], splits.to_right[s]};
        const std::int32_t missing = to[splits.missing_left[s] != 0 ? 0 : 1];
        const double threshold = splits.threshold[s];
        auto bin_of = [&](std::size_t i) {
            const std::size_t own = held.bins[i * p + f];
            if (own > nb) throw std::invalid_argument("bin out of range");
            return own;
        };
        auto place = [&](std::size_t i) { return static_cast<std::size_t>(by_slot.order[i]) * p + f; };
        if (b < 0 && threshold != threshold) {  // by category: a category column's bin is its code
            for (std::size_t i = base; i < end; ++i) {
                const std::size_t code = bin_of(i);
                if (code == nb) {
                    slot_out[i] = missing;
                    continue;
                }
                if (code / 64 >= splits.words) throw std::invalid_argument("category code out of range");
                slot_out[i] = to[((splits.sets[s * splits.words + code / 64] >> (code % 64)) & 1U) ? 0 : 1];
            }
            continue;
        }
        if (b < 0) {  // a threshold: only the rows of a bin on both sides are read
            for (std::size_t j = 0; j < nb; ++j)
                side[j] = hi[f * nb + j] <= threshold ? 0 : lo[f * nb + j] > threshold ? 1 : 2;
            reads.clear();
            auto take = [&](const Read& r, double v) {
                slot_out[r.second] = to[v <= threshold ? 0 : 1];
            };
            for (std::size_t i = base; i < end; ++i) {
                const std::size_t own = bin_of(i);
                if (own == nb) {
                    slot_out[i] = missing;
                } else if (side[own] < 2) {
                    slot_out[i] = to[side[own]];
                } else {
                    reads.push_back({place(i), 0, static_cast<std::int64_t>(i)});
                    if (reads.size() >= kChunk) {
                        read_values(held.x, reads, take);
                        reads.clear();
                    }
                }
            }
            read_values(held.x, reads, take);
            continue;
        }
        // Between bins: below the split's bin left, above it right, in it
        // by its value. The threshold comes from the largest value sent
        // left and the smallest sent right: those of the rows of the highest
        // bin sent left and the lowest sent right, or of the split's bin.
        const std::size_t cut = static_cast<std::size_t>(b);
        constexpr double kInf = std::numeric_limits<double>::infinity();
        std::size_t top = 0, bottom = nb;  // the highest bin below `cut`, the lowest above, seen so far
        double top_value = -kInf, bottom_value = kInf, cut_left = -kInf, cut_right = kInf;
        reads.clear();
        auto take = [&](const Read& r, double v) {
            const std::size_t own = static_cast<std::size_t>(r.first);
            if (own == cut) {
                const bool left = v <= splits.bin_value[s];
                slot_out[r.second] = to[left ? 0 : 1];
                if (left) cut_left = std::max(cut_left, v);
                else cut_right = std::min(cut_right, v);
            } else if (own < cut && own == top) {
                top_value = std::max(top_value, v);
            } else if (own > cut && own == bottom) {
                bottom_value = std::min(bottom_value, v);
            }
        };
        for (std::size_t i = base; i < end; ++i) {
            const std::size_t own = bin_of(i);
            if (own == nb) {
                slot_out[i] = missing;
                continue;
            }
            if (own < cut) {
                slot_out[i] = to[0];
                if (own < top) continue;
                if (own > top) {  // the values of a lower bin no longer count
                    top = own;
                    top_value = -kInf;
                }
            } else if (own > cut) {
                slot_out[i] = to[1];
                if (own > bottom) continue;
                if (own < bottom) {
                    bottom = own;
                    bottom_value = kInf;
                }
            }
            reads.push_back({place(i), static_cast<std::int64_t>(own), static_cast<std::int64_t>(i)});
            if (reads.size() >= kChunk) {
                read_values(held.x, reads, take);
                reads.clear();
            }
        }
        read_values(held.x, reads, take);
        // The split's bin holds larger values than any bin below it, smaller than any above.
        below[s] = std::max(below[s], std::max(top_value, cut_left));
        above[s] = std::min(above[s], std::min(bottom_value, cut_right));
    }
}

}  // namespace tavrin::kernels::learner
