// Reading the text that blkid and df print. The module functions in retrieval.cpp run
// the tools; the helpers here turn their output into Python values. Each helper
// reports its failures at the lines its caller hands in, since the same parse serves
// functions whose statements sit at different lines.
#pragma once

#include "module/api.hpp"

namespace vsn::lin {

// One step of an iteration: the next item, the end, or an exception.
enum class Step { item, end, error };
Step next(PyObject* iterator, Ref& item);

// text.split("\n"), without a method lookup when the text is a str.
Ref splitLines(PyObject* text);

// ---------------------------------------------------------------------------------
// blkid

struct TokenLines {
    int lines;       // the text cut at newlines
    int tokenLists;  // the list that receives the token lists
    int eachLine;    // stepping through the lines
    int splitLine;   // cutting one line into tokens
};

// One token list per line of blkid's output, in line order.
Ref tokenLists(Frame& f, PyObject* text, const TokenLines& at);

// 1 when the token is a UUID= tag, 0 when not, -1 with an exception. Only the prefix
// counts: PTUUID=, PARTUUID= and UUID_SUB= tags, and label values that happen to
// contain the text, carry no filesystem identifier.
int isIdentifierTag(PyObject* token);

// Calls visit(line_split, element) for every identifier tag, in line and token order.
// visit returns false with an exception set to stop the walk.
template <class Visit>
bool forEachIdentifierTag(Frame& f, PyObject* lines_split, int eachToken, int test, Visit&& visit) {
    f.at(eachToken);
    Ref lines = Ref::steal(PyObject_GetIter(lines_split));
    if (!lines) {
        return false;
    }
    Ref line_split;
    for (;;) {
        f.at(eachToken);
        Step lineStep = next(lines.borrow(), line_split);
        if (lineStep != Step::item) {
            return lineStep == Step::end;
        }
        Ref tokens = Ref::steal(PyObject_GetIter(line_split.borrow()));
        if (!tokens) {
            return false;
        }
        Ref element;
        for (;;) {
            f.at(eachToken);
            Step tokenStep = next(tokens.borrow(), element);
            if (tokenStep == Step::error) {
                return false;
            }
            if (tokenStep == Step::end) {
                break;
            }
            f.at(test);
            int tag = isIdentifierTag(element.borrow());
            if (tag < 0) {
                return false;
            }
            if (tag && !visit(line_split.borrow(), element.borrow())) {
                return false;
            }
        }
    }
}

// ---------------------------------------------------------------------------------
// df -h

struct MountLines {
    int eachLine;   // stepping through the lines
    int splitLine;  // cutting one line into its columns, and filing the path
};

// {device: [mount path, ...]} from df's lines, paths in line order. The device is the
// first column, and only a str can ever match it; the path is the whole last column,
// spaces included.
Ref mountPathsByDevice(Frame& f, PyObject* lines, const MountLines& at);

}  // namespace vsn::lin
