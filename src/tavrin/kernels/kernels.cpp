// Pure C++ kernels of the tree learner.
#include "kernels/kernels.hpp"
