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

}  // namespace vsn::lin
