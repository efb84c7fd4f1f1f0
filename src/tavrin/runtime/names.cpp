// Storage and start-up of the interned names.
#include "runtime/names.hpp"

namespace tavrin::rt::names {

#define TAVRIN_DEFINE_NAME(n) PyObject* n = nullptr;
#define TAVRIN_DEFINE_TEXT(n, text) PyObject* n = nullptr;
TAVRIN_NAMES(TAVRIN_DEFINE_NAME)
TAVRIN_TEXTS(TAVRIN_DEFINE_TEXT)
#undef TAVRIN_DEFINE_NAME
#undef TAVRIN_DEFINE_TEXT

int init() {
#define TAVRIN_INTERN_NAME(n)                                 \
    if (!n && !(n = PyUnicode_InternFromString(#n))) return -1;
    TAVRIN_NAMES(TAVRIN_INTERN_NAME)
#undef TAVRIN_INTERN_NAME
#define TAVRIN_INTERN_TEXT(n, text) \
    if (!n && !(n = PyUnicode_InternFromString(text))) return -1;
    TAVRIN_TEXTS(TAVRIN_INTERN_TEXT)
#undef TAVRIN_INTERN_TEXT
    return 0;
}

}  // namespace tavrin::rt::names
