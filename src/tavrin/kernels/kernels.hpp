// Pure C++ kernels of the tree learner. Nothing here includes Python.h.
#pragma once

#include "kernels/class_sweep.hpp"
#include "kernels/gini_scan.hpp"
#include "kernels/strided.hpp"
