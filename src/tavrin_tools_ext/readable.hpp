// Numpy arrays as the learner's kernels read them: C-contiguous and
// aligned for their element type. numpy hands out unaligned views (of
// pickled or shared buffers, say); asking for an aligned array copies
// those, and reading a misaligned double would be undefined.
#pragma once

#include <pybind11/numpy.h>

namespace tavrin::tools {

constexpr int kReadable = pybind11::array::c_style | pybind11::detail::npy_api::NPY_ARRAY_ALIGNED_;

template <class T>
using Readable = pybind11::array_t<T, kReadable>;

}  // namespace tavrin::tools
