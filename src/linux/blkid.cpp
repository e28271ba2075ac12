// Cutting tool output into lines and tokens, and telling identifier tags apart.
#include "linux/parse.hpp"

namespace vsn::lin {

Step next(PyObject* iterator, Ref& item) {
    item = Ref::steal(PyIter_Next(iterator));
    if (item) {
        return Step::item;
    }
    return PyErr_Occurred() ? Step::error : Step::end;
}

Ref splitLines(PyObject* text) {
    if (PyUnicode_CheckExact(text)) {
        return Ref::steal(PyUnicode_Split(text, k().t_newline.borrow(), -1));
    }
    // A rebound runner may hand back anything with a split method; let it decide.
    return callMethod(text, k().split.borrow(), k().t_newline.borrow());
}

Ref splitTokens(PyObject* line) {
    if (PyUnicode_CheckExact(line)) {
        return Ref::steal(PyUnicode_Split(line, nullptr, -1));
    }
    return callMethod(line, k().split.borrow());
}

int isIdentifierTag(PyObject* token) {
    PyObject* prefix = k().t_uuid.borrow();
    if (PyUnicode_Check(token)) {
        return static_cast<int>(PyUnicode_Tailmatch(token, prefix, 0, PY_SSIZE_T_MAX, -1));
    }
    Ref starts = callMethod(token, k().startswith.borrow(), prefix);
    if (!starts) {
        return -1;
    }
    return PyObject_IsTrue(starts.borrow());
}

}  // namespace vsn::lin
