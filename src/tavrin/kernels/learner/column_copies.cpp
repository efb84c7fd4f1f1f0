// Column-major copies of the data for random splits.
#include "kernels/learner/column_copies.hpp"

namespace tavrin::kernels::learner {

void copy_columns(Pool& pool, const RowView& x, const std::uint32_t* rows, std::size_t n, std::size_t p,
                  const std::int64_t* n_categories, std::vector<double>& out,
                  const std::function<void(std::size_t)>& poll) {
    out.resize(n * p);
    pool.run(p, [&](std::size_t f, std::size_t worker) {
        if (n_categories && n_categories[f] != 0) return;
        if (worker == 0) poll(n);
        double* column = &out[f * n];
        const std::int64_t ff = static_cast<std::int64_t>(f);
        if (rows)
            for (std::size_t k = 0; k < n; ++k) column[k] = x.at(rows[k], ff);
        else
            for (std::size_t k = 0; k < n; ++k) column[k] = x.at(k, ff);
    });
}

}  // namespace tavrin::kernels::learner
