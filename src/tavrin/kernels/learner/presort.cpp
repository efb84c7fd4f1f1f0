// Least-significant-digit radix sort of the rows on their values rounded
// to single precision (32-bit keys, eleven bits a pass, so the counts stay
// in the first-level cache), then a fix-up that orders each run of equal
// roundings by the exact values. Rounding keeps order, so only such runs
// can be out of order, and they are short unless many values agree in
// their leading 24 bits. A pass whose digit every key shares is skipped.
#include "kernels/learner/presort.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tavrin::kernels::learner {

namespace {

// Unsigned order of the key = numeric order of the (non-NaN) value.
inline std::uint32_t sort_key(double v) {
    float f = static_cast<float>(v);
    if (f == 0.0f) f = 0.0f;  // -0.0 and 0.0 are one value
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return (bits >> 31) ? ~bits : bits ^ (1u << 31);
}

inline float key_value(std::uint32_t key) {
    const std::uint32_t bits = (key >> 31) ? key ^ (1u << 31) : ~key;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Orders each run of equal keys by the exact value, stably.
void order_runs(const RowView& x, std::int64_t f, const std::vector<std::uint32_t>& keys,
                std::vector<std::uint32_t>& ids) {
    const std::size_t n = keys.size();
    std::vector<std::pair<double, std::uint32_t>> run;
    for (std::size_t begin = 0; begin < n;) {
        std::size_t end = begin + 1;
        while (end < n && keys[end] == keys[begin]) ++end;
        if (end - begin > 1) {
            run.clear();
            for (std::size_t i = begin; i < end; ++i) run.emplace_back(x.at(ids[i], f), ids[i]);
            auto less = [](const auto& a, const auto& b) { return a.first < b.first; };
            if (end - begin <= 32) {
                // Insertion sort; invariant: run[0, i) is in order.
                for (std::size_t i = 1; i < run.size(); ++i)
                    for (std::size_t j = i; j > 0 && less(run[j], run[j - 1]); --j) std::swap(run[j], run[j - 1]);
            } else {
                std::stable_sort(run.begin(), run.end(), less);
            }
            for (std::size_t i = begin; i < end; ++i) ids[i] = run[i - begin].second;
        }
        begin = end;
    }
}

}  // namespace

void presort_rows(const RowView& x, std::int64_t f, const std::vector<std::uint32_t>& rows,
                  std::vector<std::uint32_t>& out, std::vector<float>& approx, PresortScratch& s) {
    s.keys.clear();
    s.ids.clear();
    s.missing.clear();
    s.keys.reserve(rows.size());
    s.ids.reserve(rows.size());
    for (std::uint32_t r : rows) {
        const double v = x.at(r, f);
        if (v != v) {
            s.missing.push_back(r);
        } else {
            s.keys.push_back(sort_key(v));
            s.ids.push_back(r);
        }
    }
    const std::size_t n = s.keys.size();
    constexpr int kBits = 11, kPasses = (32 + kBits - 1) / kBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    s.count.resize(kBuckets);
    s.keys2.resize(n);
    s.ids2.resize(n);
    for (int pass = 0; pass < kPasses && n > 0; ++pass) {
        const int shift = pass * kBits;
        std::fill(s.count.begin(), s.count.end(), 0u);
        for (std::uint32_t k : s.keys) ++s.count[(k >> shift) & (kBuckets - 1)];
        if (s.count[(s.keys[0] >> shift) & (kBuckets - 1)] == n) continue;
        std::uint32_t sum = 0;
        for (std::uint32_t& c : s.count) {
            const std::uint32_t here = c;
            c = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t at = s.count[(s.keys[i] >> shift) & (kBuckets - 1)]++;
            s.keys2[at] = s.keys[i];
            s.ids2[at] = s.ids[i];
        }
        s.keys.swap(s.keys2);
        s.ids.swap(s.ids2);
    }
    order_runs(x, f, s.keys, s.ids);
    out.assign(s.ids.begin(), s.ids.end());
    out.insert(out.end(), s.missing.begin(), s.missing.end());
    approx.resize(out.size());
    for (std::size_t k = 0; k < n; ++k) approx[k] = key_value(s.keys[k]);
    std::fill(approx.begin() + static_cast<std::ptrdiff_t>(n), approx.end(), std::numeric_limits<float>::quiet_NaN());
}

}  // namespace tavrin::kernels::learner
