// C stack guard: the lowest safe address of each thread's stack is found
// once per thread and compared with the address of a local.
#include "runtime/stack.hpp"

#include "runtime/errors.hpp"
#include "runtime/python.hpp"

#include <cstdint>
#if defined(__linux__)
#include <pthread.h>
#endif

namespace tavrin::rt {

namespace {

// The stack a guarded call may need below the last check: the callee's own
// calls into the interpreter, numpy and pandas. A small stack keeps half of
// itself for them instead, so that it too is guarded.
constexpr std::uintptr_t kMargin = 256 * 1024;

std::uintptr_t find_stack_limit() {
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* addr = nullptr;
    size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || size == 0) return 0;
    const std::uintptr_t margin = size < 2 * kMargin ? size / 2 : kMargin;
    return reinterpret_cast<std::uintptr_t>(addr) + margin;
#else
    return 0;
#endif
}

}  // namespace

bool stack_exhausted() {
    // 0: not looked up yet; 1: unknown, no guard.
    static thread_local std::uintptr_t limit = 0;
    if (limit == 0) {
        limit = find_stack_limit();
        if (limit == 0) limit = 1;
    }
    char probe;
    if (reinterpret_cast<std::uintptr_t>(&probe) >= limit) return false;
    raise_stack_exhausted();
    return true;
}

long recursion_headroom() {
    PyThreadState* ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    return ts->py_recursion_remaining < ts->c_recursion_remaining ? ts->py_recursion_remaining
                                                                  : ts->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return ts->recursion_remaining;
#else
    return Py_GetRecursionLimit() - ts->recursion_depth;
#endif
}

}  // namespace tavrin::rt
