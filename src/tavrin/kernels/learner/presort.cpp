// Least-significant-digit radix sort of (key, row) pairs, sixteen bits a
// pass; a pass whose digit every key shares is skipped, which makes data
// with short mantissas (single precision, small integers) cheap.
#include "kernels/learner/presort.hpp"

#include <algorithm>
#include <cstring>

namespace tavrin::kernels::learner {

namespace {

// Unsigned order of the key = numeric order of the (non-NaN) value.
inline std::uint64_t sort_key(double v) {
    if (v == 0.0) v = 0.0;  // -0.0 and 0.0 are one value
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits >> 63) ? ~bits : bits ^ (1ULL << 63);
}

}  // namespace

void presort_rows(const RowView& x, std::int64_t f, const std::vector<std::uint32_t>& rows,
                  std::vector<std::uint32_t>& out) {
    std::vector<std::uint64_t> keys, keys2;
    std::vector<std::uint32_t> ids, ids2, missing;
    keys.reserve(rows.size());
    ids.reserve(rows.size());
    for (std::uint32_t r : rows) {
        const double v = x.at(r, f);
        if (v != v) {
            missing.push_back(r);
        } else {
            keys.push_back(sort_key(v));
            ids.push_back(r);
        }
    }
    const std::size_t n = keys.size();
    constexpr int kBits = 16, kPasses = 64 / kBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    if (n < 4096) {
        std::vector<std::size_t> perm(n);
        for (std::size_t i = 0; i < n; ++i) perm[i] = i;
        std::stable_sort(perm.begin(), perm.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
        out.resize(0);
        out.reserve(rows.size());
        for (std::size_t i : perm) out.push_back(ids[i]);
    } else {
        std::vector<std::uint32_t> count(kBuckets);
        keys2.resize(n);
        ids2.resize(n);
        for (int pass = 0; pass < kPasses; ++pass) {
            const int shift = pass * kBits;
            std::fill(count.begin(), count.end(), 0u);
            for (std::uint64_t k : keys) ++count[(k >> shift) & (kBuckets - 1)];
            if (count[(keys[0] >> shift) & (kBuckets - 1)] == n) continue;
            std::uint32_t sum = 0;
            for (std::uint32_t& c : count) {
                const std::uint32_t here = c;
                c = sum;
                sum += here;
            }
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint32_t at = count[(keys[i] >> shift) & (kBuckets - 1)]++;
                keys2[at] = keys[i];
                ids2[at] = ids[i];
            }
            keys.swap(keys2);
            ids.swap(ids2);
        }
        out.swap(ids);
    }
    out.insert(out.end(), missing.begin(), missing.end());
}

}  // namespace tavrin::kernels::learner
