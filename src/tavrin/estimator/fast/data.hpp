// The prepared training data in the form the whole-tree builder reads:
// numeric columns as doubles (read in place from a float64 matrix),
// categorical columns as ranks of their distinct values, class codes as
// machine integers. Only data on which double arithmetic decides exactly
// what the interpreter's objects decide is accepted.
#pragma once

#include "kernels/tree_builder.hpp"
#include "runtime/frame.hpp"
#include "runtime/ref.hpp"

#include <cstdint>
#include <vector>

namespace tavrin::estimator {

// What a categorical split's threshold array is built from.
enum class CategoryKind { text, integer, real };

struct FastColumn {
    bool categorical = false;
    // Numeric: the midpoint of two values is a numpy float64 (values are
    // numpy scalars) rather than a float (values are Python numbers).
    bool numpy_values = false;
    std::vector<double> owned;  // the values when not read in place
    const char* data = nullptr;  // else where they are, as doubles
    std::ptrdiff_t stride = 0;
    std::vector<std::int32_t> ranks;
    std::vector<rt::Ref> categories;  // by rank, ascending
    CategoryKind kind = CategoryKind::text;
};

class FastData {
public:
    FastData() = default;
    FastData(const FastData&) = delete;
    FastData& operator=(const FastData&) = delete;
    ~FastData();

    // Reads X (the prepared matrix) and y (the class-code Series); the
    // column kinds come from `categorical`. Returns 1 when the data are of
    // an accepted kind, 0 when not (no error set), -1 on error.
    int read(PyObject* X, PyObject* y, const std::vector<bool>& categorical,
             std::size_t n_classes);

    // The same data read from the frame whose `values` X would be.
    int read_frame(const rt::FrameColumns& frame, PyObject* y, const std::vector<bool>& categorical,
                   std::size_t n_classes);

    std::size_t rows() const { return rows_; }
    const std::vector<FastColumn>& columns() const { return columns_; }
    const std::vector<std::int32_t>& codes() const { return codes_; }
    // The builder's view of the columns (valid while this object lives).
    std::vector<kernels::BuildColumn> build_columns() const;

private:
    int read_codes(PyObject* y, std::size_t n_classes);
    int read_numeric(std::size_t j, FastColumn& col);
    int read_categorical(std::size_t j, FastColumn& col);
    int read_frame_column(const rt::FrameColumn& source, FastColumn& col);

    Py_buffer view_{};
    bool held_ = false;
    char format_ = '\0';  // 'd', 'l' (int64), '?' or 'O'
    std::size_t rows_ = 0;
    std::vector<FastColumn> columns_;
    std::vector<std::int32_t> codes_;
};

}  // namespace tavrin::estimator
