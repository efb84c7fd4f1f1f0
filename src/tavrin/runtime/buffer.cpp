// Typed buffer views: acquisition, the dimension and element-type checks,
// and the names that the mismatch message gives element types.
#include "runtime/buffer.hpp"

#include "runtime/errors.hpp"

#include <cstring>

namespace tavrin::rt {

namespace {

// The C name of a struct-module type code, as the mismatch message shows
// it: quoted for scalar types, in words for the rest.
const char* describe_code(char code, bool complex) {
    switch (code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'n': return "'Py_ssize_t'";
        case 'N': return "'size_t'";
        case 'e': return complex ? "'complex half'" : "'half'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case 'w': return "a unicode string";
        case '\0': return "end";
        default: return "unparsable format string";
    }
}

bool is_signed_integer(char code) {
    return std::strchr("bhilqn", code) != nullptr && code != '\0';
}

bool is_real(char code) { return code == 'e' || code == 'f' || code == 'd' || code == 'g'; }

struct Format {
    char code = '\0';
    bool complex = false;
    bool foreign_order = false;  // byte order other than the machine's
    bool single = false;  // exactly one item, no repeat count
};

// Reads a struct-module format of one item: an optional byte-order mark,
// an optional repeat count, an optional 'Z' (complex) and the type code.
Format parse_format(const char* fmt) {
    Format f;
    if (!fmt) fmt = "B";  // a provider may leave the format out for bytes
    const char* p = fmt;
#if PY_LITTLE_ENDIAN
    f.foreign_order = *p == '>' || *p == '!';
#else
    f.foreign_order = *p == '<';
#endif
    if (*p && std::strchr("@=<>!^", *p)) ++p;
    bool counted = false;
    while (*p >= '0' && *p <= '9') {
        counted = true;
        ++p;
    }
    if (*p == 'Z') {
        f.complex = true;
        ++p;
    }
    f.code = *p;
    f.single = !counted && *p != '\0' && p[1] == '\0';
    return f;
}

bool matches(const Format& f, Py_ssize_t itemsize, Element type) {
    if (!f.single || f.complex) return false;
    switch (type) {
        case Element::c_long:
            return is_signed_integer(f.code) && itemsize == static_cast<Py_ssize_t>(sizeof(long));
        case Element::c_double:
            return is_real(f.code) && itemsize == static_cast<Py_ssize_t>(sizeof(double));
    }
    return false;
}

const char* element_name(Element type) {
    return type == Element::c_long ? "long" : "double";
}

}  // namespace

int BufferView::acquire(PyObject* obj, Element type) {
    release();
    if (PyObject_GetBuffer(obj, &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_STRIDES) < 0)
        return -1;
    held_ = true;
    if (view_.ndim != 1) {
        raise_buffer_ndim(1, view_.ndim);
        release();
        return -1;
    }
    const Format f = parse_format(view_.format);
    if (!matches(f, view_.itemsize, type)) {
        raise_buffer_dtype(element_name(type), describe_code(f.code, f.complex));
        release();
        return -1;
    }
    if (f.foreign_order) {
        raise_buffer_byte_order();
        release();
        return -1;
    }
    stride_ = view_.strides ? view_.strides[0] : view_.itemsize;
    return 0;
}

void BufferView::release() {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
    view_ = Py_buffer{};
    stride_ = 0;
}

}  // namespace tavrin::rt
