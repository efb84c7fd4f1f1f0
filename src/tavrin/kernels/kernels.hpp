// Pure C++ kernels of the tree learner. Nothing here includes Python.h.
#pragma once
