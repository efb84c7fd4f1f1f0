// Column-major copies of the data for random splits.
#include "kernels/learner/column_copies.hpp"

#include <algorithm>

namespace tavrin::kernels::learner {

void copy_columns(Pool& pool, const RowView& x, const std::uint32_t* rows, std::size_t n, std::size_t p,
                  const std::int64_t* n_categories, std::vector<double>& out,
                  const std::function<void(std::size_t)>& poll) {
    out.resize(n * p);
    // A block of rows at a time, every column of it: each row of a
    // row-major x is read once, not once per column.
    constexpr std::size_t kBlock = 512;
    const std::size_t blocks = (n + kBlock - 1) / kBlock;
    pool.run(blocks, [&](std::size_t b, std::size_t worker) {
        const std::size_t begin = b * kBlock, end = std::min(n, begin + kBlock);
        if (worker == 0) poll((end - begin) * p);
        for (std::size_t f = 0; f < p; ++f) {
            if (n_categories && n_categories[f] != 0) continue;
            double* column = &out[f * n];
            const std::int64_t ff = static_cast<std::int64_t>(f);
            if (rows)
                for (std::size_t k = begin; k < end; ++k) column[k] = x.at(rows[k], ff);
            else
                for (std::size_t k = begin; k < end; ++k) column[k] = x.at(k, ff);
        }
    });
}

}  // namespace tavrin::kernels::learner
