// Cutting tool output into lines and tokens, and telling identifier tags apart.
#include "linux/parse.hpp"

namespace vsn::lin {

namespace {

Step nextItem(PyObject* iterator, Ref& item) {
    item = Ref::steal(PyIter_Next(iterator));
    if (item) {
        return Step::item;
    }
    return PyErr_Occurred() ? Step::error : Step::end;
}

}  // namespace

bool Lines::open(PyObject* text) {
    text_ = text;
    if (PyUnicode_CheckExact(text)) {
        return true;
    }
    Ref pieces = callMethod(text, k().split.borrow(), k().t_newline.borrow());
    if (!pieces) {
        return false;
    }
    pieces_ = Ref::steal(PyObject_GetIter(pieces.borrow()));
    return static_cast<bool>(pieces_);
}

Step Lines::next(Ref& line) {
    if (pieces_) {
        return nextItem(pieces_.borrow(), line);
    }
    if (done_) {
        return Step::end;
    }
    Py_ssize_t size = PyUnicode_GetLength(text_);
    if (size < 0) {
        return Step::error;
    }
    Py_ssize_t end = PyUnicode_FindChar(text_, '\n', pos_, size, 1);
    if (end == -2) {
        return Step::error;
    }
    if (end == -1) {
        // Like split, the text after the last newline is a line, even when empty.
        end = size;
        done_ = true;
    }
    line = Ref::steal(PyUnicode_Substring(text_, pos_, end));
    pos_ = end + 1;
    return line ? Step::item : Step::error;
}

Ref splitTokens(PyObject* line) {
    if (PyUnicode_CheckExact(line)) {
        return Ref::steal(PyUnicode_Split(line, nullptr, -1));
    }
    return callMethod(line, k().split.borrow());
}

int isIdentifierTag(PyObject* token) {
    PyObject* prefix = k().t_uuid.borrow();
    // A str subclass may have its own idea of startswith; ask it, as for any object.
    if (PyUnicode_CheckExact(token)) {
        return static_cast<int>(PyUnicode_Tailmatch(token, prefix, 0, PY_SSIZE_T_MAX, -1));
    }
    Ref starts = callMethod(token, k().startswith.borrow(), prefix);
    if (!starts) {
        return -1;
    }
    return PyObject_IsTrue(starts.borrow());
}

Ref piece(PyObject* text, Span span) {
    return Ref::steal(PyUnicode_Substring(text, span.start, span.end));
}

bool spanHolds(PyObject* text, Span span, const char* needle) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t at = span.start; at < span.end; ++at) {
        Py_ssize_t i = 0;
        while (needle[i] != '\0' && at + i < span.end &&
               PyUnicode_READ(kind, data, at + i) == static_cast<Py_UCS4>(needle[i])) {
            ++i;
        }
        if (needle[i] == '\0') {
            return true;
        }
    }
    return false;
}

Ref identifier(PyObject* text, Span tag, bool fold) {
    // tag[6:-1]: empty for tags of seven characters or fewer.
    const Span value{tag.start + 6, tag.end - 1 > tag.start + 6 ? tag.end - 1 : tag.start + 6};
    const Py_ssize_t size = value.end - value.start;
    if (!fold || size <= 9 || size >= 17) {
        return piece(text, value);
    }
    // value[8:12] + "-" + value[12:]
    Py_UCS4 folded[9];
    Py_ssize_t length = 0;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 8; i < 12 && i < size; ++i) {
        folded[length++] = PyUnicode_READ(kind, data, value.start + i);
    }
    folded[length++] = '-';
    for (Py_ssize_t i = 12; i < size; ++i) {
        folded[length++] = PyUnicode_READ(kind, data, value.start + i);
    }
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, folded, length));
}

}  // namespace vsn::lin
