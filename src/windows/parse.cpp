// Reading drive names and serial numbers out of the text that fsutil and vol print.
//
// Both parsers ask of their argument only what a str offers (split, len, indexing,
// slicing), so any object with the same operations works alike: bytes in, bytes out.
#include "module/functions.hpp"

namespace vsn::fn {

namespace {

// The whitespace-separated tokens of an exact str, read in place: str.split() without
// the list and without the tokens that nobody keeps.
class Tokens {
  public:
    // False when `text` is not an exact str, and also, with *error set and an exception
    // pending, when it cannot be read.
    bool open(PyObject* text, bool* error) {
        if (!readableInPlace(text, error)) {
            return false;
        }
        kind_ = PyUnicode_KIND(text);
        data_ = PyUnicode_DATA(text);
        size_ = PyUnicode_GET_LENGTH(text);
        return true;
    }

    // The next token after `from`: false when there is none.
    bool next(Py_ssize_t from, Py_ssize_t* start, Py_ssize_t* end) const {
        Py_ssize_t i = from;
        while (i < size_ && space(i)) {
            ++i;
        }
        if (i == size_) {
            return false;
        }
        *start = i;
        while (i < size_ && !space(i)) {
            ++i;
        }
        *end = i;
        return true;
    }

    // The last token: false when there is none.
    bool last(Py_ssize_t* start, Py_ssize_t* end) const {
        Py_ssize_t i = size_;
        while (i > 0 && space(i - 1)) {
            --i;
        }
        if (i == 0) {
            return false;
        }
        *end = i;
        while (i > 0 && !space(i - 1)) {
            --i;
        }
        *start = i;
        return true;
    }

    Py_ssize_t size() const { return size_; }

  private:
    bool space(Py_ssize_t i) const { return Py_UNICODE_ISSPACE(PyUnicode_READ(kind_, data_, i)); }

    int kind_ = 0;
    const void* data_ = nullptr;
    Py_ssize_t size_ = 0;
};

}  // namespace

Ref rtrvDrivesFromStrWindows(Frame& f, PyObject* string) {
    f.at(192);
    Ref rtrn_list = newList();
    if (!rtrn_list) {
        return {};
    }

    Tokens tokens;
    bool unreadable;
    if (tokens.open(string, &unreadable)) {
        Py_ssize_t start = 0;
        Py_ssize_t end = 0;
        if (!tokens.next(0, &start, &end)) {
            return rtrn_list;
        }
        // Token 0 is skipped here too; see below.
        while (tokens.next(end, &start, &end)) {
            f.at(197);
            Ref drive = Ref::steal(PyUnicode_Substring(string, start, end - 1));
            if (!drive || PyList_Append(rtrn_list.borrow(), drive.borrow()) < 0) {
                return {};
            }
        }
        return rtrn_list;
    }
    if (unreadable) {
        return {};
    }

    f.at(194);
    Ref split_str = callMethod(string, k().split.borrow());
    if (!split_str) {
        return {};
    }

    f.at(196);
    Py_ssize_t count = length(split_str.borrow());
    if (count < 0) {
        return {};
    }

    // Token 0 is the label fsutil prints before the roots ("Drives:" in English, something
    // else elsewhere), so it is skipped whatever it says. Each root ends in its backslash.
    for (Py_ssize_t i = 1; i < count; ++i) {
        f.at(197);
        Ref token = getIndex(split_str.borrow(), i);
        if (!token) {
            return {};
        }
        Ref drive = getSlice(token.borrow(), k().slice_m1.borrow());
        if (!drive || !append(rtrn_list.borrow(), drive.borrow())) {
            return {};
        }
    }
    return rtrn_list;
}

Ref rtrvVSNFromStrWindows(Frame& f, PyObject* string) {
    f.at(203);
    Tokens tokens;
    bool unreadable;
    if (tokens.open(string, &unreadable)) {
        Py_ssize_t start = 0;
        Py_ssize_t end = 0;
        if (!tokens.last(&start, &end)) {
            f.at(204);
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return {};
        }
        if (start == 0 && end == tokens.size()) {
            // A text that is one token is its own token, as split gives it.
            return Ref::newRef(string);
        }
        return Ref::steal(PyUnicode_Substring(string, start, end));
    }
    if (unreadable) {
        return {};
    }
    Ref split_str = callMethod(string, k().split.borrow());
    if (!split_str) {
        return {};
    }

    // The serial number closes vol's output in every language; the words before it, the
    // volume label among them, are free text and are never looked at.
    f.at(204);
    return getIndex(split_str.borrow(), -1);
}

}  // namespace vsn::fn
