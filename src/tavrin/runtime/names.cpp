// Storage and start-up of the interned names.
#include "runtime/names.hpp"

namespace tavrin::rt::names {

#define TAVRIN_DEFINE_NAME(n) PyObject* n = nullptr;
TAVRIN_NAMES(TAVRIN_DEFINE_NAME)
#undef TAVRIN_DEFINE_NAME
#define TAVRIN_DEFINE_WORD(n, text) PyObject* n = nullptr;
TAVRIN_WORDS(TAVRIN_DEFINE_WORD)
#undef TAVRIN_DEFINE_WORD

int init() {
#define TAVRIN_INTERN_NAME(n)                                 \
    if (!n && !(n = PyUnicode_InternFromString(#n))) return -1;
    TAVRIN_NAMES(TAVRIN_INTERN_NAME)
#undef TAVRIN_INTERN_NAME
#define TAVRIN_INTERN_WORD(n, text)                           \
    if (!n && !(n = PyUnicode_InternFromString(text))) return -1;
    TAVRIN_WORDS(TAVRIN_INTERN_WORD)
#undef TAVRIN_INTERN_WORD
    return 0;
}

}  // namespace tavrin::rt::names
