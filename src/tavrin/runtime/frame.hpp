// A pandas DataFrame read in place, column by column, where its `values`
// would be an object matrix: each cell is then described from the
// column's own array (float64, int64 or bool) or from its category codes,
// with the very objects that the object matrix would hold for each
// category and for a missing one.
#pragma once

#include "runtime/read_view.hpp"
#include "runtime/ref.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace tavrin::rt {

struct FrameColumn {
    enum Kind : std::uint8_t { real, integer, boolean, category };
    Kind kind = real;
    // The column's values, or for a category column its codes (of
    // `code_format` 'b', 'h', 'i' or 'l'); row r at data + r * stride.
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    char code_format = '\0';
    // Category columns: objects[0] stands for a missing value (code -1),
    // objects[1 + c] for category c, as the object matrix holds them.
    std::vector<Ref> objects;

    const char* at(std::size_t row) const { return data + static_cast<std::ptrdiff_t>(row) * stride; }
    // The category code of row `row` (-1: missing).
    long long code(std::size_t row) const {
        const char* p = at(row);
        switch (code_format) {
            case 'b': return load<std::int8_t>(p);
            case 'h': return load<std::int16_t>(p);
            case 'i': return load<std::int32_t>(p);
            default: return load<long long>(p);
        }
    }
};

class FrameColumns {
public:
    // Reads `frame` when it is exactly a pandas DataFrame (pd being the
    // module global) whose `values` property is pandas' own, of at least
    // two columns of float64, int64, bool and category dtypes, one of them
    // at least categories of text, so that `frame.values` is an object
    // matrix. Returns 1 when read, 0 when the frame is of another kind (no
    // error set), -1 on error.
    int read(PyObject* frame);

    std::size_t rows() const { return rows_; }
    const std::vector<FrameColumn>& columns() const { return columns_; }

private:
    int read_column(PyObject* series, FrameColumn& col, bool& text);

    std::size_t rows_ = 0;
    std::vector<FrameColumn> columns_;
    std::vector<Ref> arrays_;                      // what the views point into
    std::vector<std::unique_ptr<ReadView>> views_;
};

}  // namespace tavrin::rt
