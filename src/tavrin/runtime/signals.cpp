#include "runtime/signals.hpp"

namespace tavrin::rt {

bool SignalCheck::cancelled() {
    if (released_) PyEval_RestoreThread(*released_);
    const bool raised = PyErr_CheckSignals() < 0;
    if (raised) error_.fetch();
    if (released_) *released_ = PyEval_SaveThread();
    return raised;
}

}  // namespace tavrin::rt
