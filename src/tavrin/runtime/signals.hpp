// Pending signals seen from work done without the interpreter lock. The
// work polls the check (a kernels::CancelHook); each poll takes the lock
// back for a moment, lets the interpreter run the handlers of signals that
// arrived (SIGINT's raises KeyboardInterrupt), and releases the lock again.
#pragma once

#include "kernels/cancel.hpp"
#include "runtime/errors.hpp"

namespace tavrin::rt {

class SignalCheck : public kernels::CancelHook {
public:
    // `released`: where the working thread keeps its thread state while
    // the lock is released; null for work that holds the lock throughout.
    explicit SignalCheck(PyThreadState** released = nullptr) : released_(released) {}

    // True when a handler raised; its exception is kept.
    bool cancelled() override;

    // With the lock held: sets the kept exception; false when there is none.
    bool restore() { return error_.restore(); }

private:
    PyThreadState** released_;
    KeptError error_;
};

}  // namespace tavrin::rt
