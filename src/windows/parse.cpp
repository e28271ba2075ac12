// Reading drive names and serial numbers out of the text that fsutil and vol print.
//
// Both parsers ask of their argument only what a str offers (split, len, indexing,
// slicing), so any object with the same operations works alike: bytes in, bytes out.
#include "module/functions.hpp"

namespace vsn::fn {

Ref rtrvDrivesFromStrWindows(Frame& f, PyObject* string) {
    f.at(192);
    Ref rtrn_list = newList();
    if (!rtrn_list) {
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
