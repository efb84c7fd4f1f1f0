// Least-significant-digit radix sort of the rows on their values rounded
// to single precision (32-bit keys, eight bits a pass: each pass writes to
// 256 places, few enough to stay in the cache as it streams; each key moves
// with its row as one 64-bit entry), then a fix-up that orders each run of equal
// roundings by the exact values. Rounding keeps order, so only such runs
// can be out of order, and they are short unless many values agree in
// their leading 24 bits. A pass whose digit every key shares is skipped.
// The keys of all columns come from one walk over the data in its memory
// order; each column's sort then reads only its own keys.
#include "kernels/learner/presort.hpp"
#include "kernels/learner/split_search.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace tavrin::kernels::learner {

namespace {

// Above the key of every value, +inf's included: missing values sort last.
constexpr std::uint32_t kMissingKey = ~std::uint32_t{0};

// Unsigned order of the key = numeric order of the (non-NaN) value.
inline std::uint32_t sort_key(double v) {
    if (v != v) return kMissingKey;
    float f = static_cast<float>(v);
    if (f == 0.0f) f = 0.0f;  // -0.0 and 0.0 are one value
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return (bits >> 31) ? ~bits : bits ^ (1u << 31);
}

// The key's value: the bits of the rounded value (a quiet NaN's when missing).
inline std::uint32_t key_bits(std::uint32_t key) {
    if (key == kMissingKey) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        std::uint32_t bits;
        std::memcpy(&bits, &nan, sizeof bits);
        return bits;
    }
    return (key >> 31) ? key ^ (1u << 31) : ~key;
}

// An entry of the sort: the key in the high half, the id in the low half
// (one store a move instead of two, to half as many places).
inline std::uint32_t key_of(std::uint64_t e) { return static_cast<std::uint32_t>(e >> 32); }
inline std::uint32_t id_of(std::uint64_t e) { return static_cast<std::uint32_t>(e); }

// Orders each run of equal keys among the first n entries by the exact
// value, stably; id & mask is an entry's row.
void order_runs(const RowView& x, std::int64_t f, std::uint32_t mask, std::uint64_t* entries, std::size_t n) {
    std::vector<std::pair<double, std::uint64_t>> run;
    for (std::size_t begin = 0; begin < n;) {
        std::size_t end = begin + 1;
        while (end < n && key_of(entries[end]) == key_of(entries[begin])) ++end;
        if (end - begin > 1) {
            run.clear();
            for (std::size_t i = begin; i < end; ++i) run.emplace_back(x.at(id_of(entries[i]) & mask, f), entries[i]);
            auto less = [](const auto& a, const auto& b) { return a.first < b.first; };
            if (end - begin <= 32) {
                // Insertion sort; invariant: run[0, i) is in order.
                for (std::size_t i = 1; i < run.size(); ++i)
                    for (std::size_t j = i; j > 0 && less(run[j], run[j - 1]); --j) std::swap(run[j], run[j - 1]);
            } else {
                std::stable_sort(run.begin(), run.end(), less);
            }
            for (std::size_t i = begin; i < end; ++i) entries[i] = run[i - begin].second;
        }
        begin = end;
    }
}

}  // namespace

void write_keys(const RowView& x, const std::uint32_t* rows, std::size_t begin, std::size_t end,
                unsigned char* const* keys, std::size_t cols, bool by_rows) {
    auto put = [&](std::size_t i, std::size_t f) {
        const std::uint32_t key = sort_key(x.at(rows[i], static_cast<std::int64_t>(f)));
        std::memcpy(keys[f] + i * sizeof key, &key, sizeof key);
    };
    if (by_rows) {
        for (std::size_t i = begin; i < end; ++i)
            for (std::size_t f = 0; f < cols; ++f)
                if (keys[f]) put(i, f);
    } else {
        for (std::size_t f = 0; f < cols; ++f)
            if (keys[f])
                for (std::size_t i = begin; i < end; ++i) put(i, f);
    }
}

void sort_column(const RowView& x, std::int64_t f, const std::uint32_t* ids, std::uint32_t mask,
                 std::size_t n, const unsigned char* keys, std::uint64_t* out, PresortScratch& s) {
    constexpr int kBits = 8, kPasses = (32 + kBits - 1) / kBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    s.entries.resize(n);
    s.spare.resize(n);
    s.count.assign(kPasses * kBuckets, 0);
    // The entries, and every pass's counts from one walk over them.
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t key;
        std::memcpy(&key, keys + i * sizeof key, sizeof key);
        s.entries[i] = std::uint64_t{key} << 32 | ids[i];
        for (int pass = 0; pass < kPasses; ++pass) ++s.count[pass * kBuckets + ((key >> (pass * kBits)) & (kBuckets - 1))];
    }
    for (int pass = 0; pass < kPasses && n > 0; ++pass) {
        const int shift = 32 + pass * kBits;
        std::uint32_t* const count = &s.count[pass * kBuckets];
        // A digit that every key shares moves nothing.
        if (count[(s.entries[0] >> shift) & (kBuckets - 1)] == n) continue;
        std::uint32_t sum = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::uint32_t here = count[b];
            count[b] = sum;
            sum += here;
        }
        const std::uint64_t* __restrict__ from = s.entries.data();
        std::uint64_t* __restrict__ to = s.spare.data();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t e = from[i];
            to[count[(e >> shift) & (kBuckets - 1)]++] = e;
        }
        s.entries.swap(s.spare);
    }
    std::size_t nm = n;
    while (nm > 0 && key_of(s.entries[nm - 1]) == kMissingKey) --nm;
    order_runs(x, f, mask, s.entries.data(), nm);
    for (std::size_t k = 0; k < n; ++k)
        out[k] = std::uint64_t{key_bits(key_of(s.entries[k]))} << 32 | id_of(s.entries[k]);
}

void presort_rows(const RowView& x, std::int64_t f, const std::vector<std::uint32_t>& rows,
                  std::vector<std::uint32_t>& out, std::vector<float>& approx, PresortScratch& scratch) {
    const std::size_t n = rows.size();
    out.resize(n);
    approx.resize(n);
    std::vector<std::uint64_t>& io = scratch.column;
    io.resize(n);
    std::vector<unsigned char*> keys(static_cast<std::size_t>(f) + 1, nullptr);
    keys[static_cast<std::size_t>(f)] = reinterpret_cast<unsigned char*>(io.data());
    write_keys(x, rows.data(), 0, n, keys.data(), keys.size(), false);
    sort_column(x, f, rows.data(), ~std::uint32_t{0}, n, keys[static_cast<std::size_t>(f)], io.data(), scratch);
    for (std::size_t k = 0; k < n; ++k) {
        out[k] = entry_id(io[k]);
        approx[k] = entry_approx(io[k]);
    }
}

void presort_columns(Pool& pool, const RowView& x, const std::int64_t* n_categories,
                     const std::vector<std::uint32_t>& rows, const std::uint16_t* codes, bool tagged,
                     std::vector<std::vector<std::uint64_t>>& sorted, const std::function<void(std::size_t)>& poll) {
    const std::size_t n = rows.size(), p = sorted.size();
    // Each column's keys are written in the first half of its own array's
    // bytes, which sort_column reads before it writes the entries there.
    std::vector<unsigned char*> keys(p, nullptr);
    for (std::size_t f = 0; f < p; ++f) {
        if (n_categories[f] != 0) continue;
        sorted[f].resize(n);
        keys[f] = reinterpret_cast<unsigned char*>(sorted[f].data());
    }
    const bool by_rows = std::abs(x.row_stride) >= std::abs(x.col_stride);
    const std::size_t chunks = by_rows ? pool.size() : p;
    pool.run(chunks, [&](std::size_t c, std::size_t) {
        if (by_rows) {
            write_keys(x, rows.data(), n * c / chunks, n * (c + 1) / chunks, keys.data(), p, true);
        } else if (keys[c]) {
            std::vector<unsigned char*> one(p, nullptr);
            one[c] = keys[c];
            write_keys(x, rows.data(), 0, n, one.data(), p, false);
        }
    });
    // The entries of the columns' row arrays: the row, and with `tagged`
    // its class code above it.
    std::vector<std::uint32_t> ids(rows);
    if (tagged)
        for (std::uint32_t& r : ids) r |= static_cast<std::uint32_t>(codes[r]) << kRowBits;
    const std::uint32_t mask = tagged ? kRowMask : ~std::uint32_t{0};
    std::vector<PresortScratch> scratch(pool.size());
    pool.run(p, [&](std::size_t f, std::size_t worker) {
        if (worker == 0) poll(n);
        if (keys[f])
            sort_column(x, static_cast<std::int64_t>(f), ids.data(), mask, n, keys[f], sorted[f].data(),
                        scratch[worker]);
    });
}

}  // namespace tavrin::kernels::learner
