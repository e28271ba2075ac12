// Reading the text that blkid and df print. The module functions in retrieval.cpp run
// the tools; the helpers here turn their output into Python values. Each helper
// reports its failures at the lines its caller hands in, since the same parse serves
// functions whose statements sit at different lines.
#pragma once

#include "module/api.hpp"

#include <cstring>
#include <string_view>

namespace vsn::lin {

// One step of an iteration: the next item, the end, or an exception.
enum class Step { item, end, error };

// The pieces of text.split("\n"), one at a time. A str is cut as it is read, so a large
// output is never held twice over and each line is gone before the next is made;
// anything else a rebound runner hands back is split by its own method.
class Lines {
  public:
    // text is borrowed and must outlive the walk. False with an exception set.
    bool open(PyObject* text);
    Step next(Ref& line);

  private:
    PyObject* text_ = nullptr;
    Py_ssize_t pos_ = 0;
    bool done_ = false;
    Ref pieces_;  // an iterator over the pieces, when text is not a str
};

// Calls visit(line) for each line of the text, in order, the frame standing at `openLine`
// while the text is taken apart and at `eachLine` while stepping; visit returns false
// with an exception set to stop the walk.
template <class Visit>
bool walkLines(Frame& f, PyObject* text, int openLine, int eachLine, Visit&& visit) {
    f.at(openLine);
    Lines lines;
    if (!lines.open(text)) {
        return false;
    }
    Ref line;
    for (;;) {
        f.at(eachLine);
        Step step = lines.next(line);
        if (step != Step::item) {
            return step == Step::end;
        }
        if (!visit(line.borrow())) {
            return false;
        }
    }
}

// ---------------------------------------------------------------------------------
// blkid

// Where each step of the walk below stands, as lines of the calling function.
struct BlkidLines {
    int lines;      // the text cut at newlines
    int eachLine;   // stepping through the lines
    int splitLine;  // cutting one line into tokens
    int eachToken;  // stepping through a line's tokens
    int test;       // telling an identifier tag
};

// line.split(), without a method lookup when the line is a str. Splitting on any
// whitespace also drops the CR of CR LF line ends.
Ref splitTokens(PyObject* line);

// 1 when the token is a UUID= tag, 0 when not, -1 with an exception. Only the prefix
// counts: PTUUID=, PARTUUID= and UUID_SUB= tags, and label values that happen to
// contain the text, carry no filesystem identifier.
int isIdentifierTag(PyObject* token);

// Calls visit(line_split, element) for every identifier tag of blkid's output, in line
// and token order; visit returns false with an exception set to stop the walk. Each
// line's tokens are dropped before the next line is cut: holding the token lists of
// a hundred thousand devices at once would only feed the cyclic collector.
template <class Visit>
bool forEachIdentifierTag(Frame& f, PyObject* text, const BlkidLines& at, Visit&& visit) {
    return walkLines(f, text, at.lines, at.eachLine, [&](PyObject* line) {
        f.at(at.splitLine);
        Ref line_split = splitTokens(line);
        if (!line_split) {
            return false;
        }
        return walk(f, line_split.borrow(), at.eachToken, at.test, [&](PyObject* element) {
            int tag = isIdentifierTag(element);
            return tag == 0 || (tag > 0 && visit(line_split.borrow(), element));
        });
    });
}

// The same walk read in place, for the text as blkid's runner gives it (an exact str):
// no line and no token becomes an object, only what the caller makes of the spans.
struct Span {
    Py_ssize_t start;
    Py_ssize_t end;  // one past the last character
};

// str.split() cuts at any character for which str.isspace() holds; '\n' is one of them,
// so no token runs across lines and one pass finds both.
template <class Char, class Visit>
bool scanIdentifierTags(const Char* s, Py_ssize_t n, Visit& visit) {
    Span drive{-1, -1};
    Py_ssize_t i = 0;
    while (i < n) {
        const Py_UCS4 c = s[i];
        if (c == '\n') {
            drive.start = -1;
            ++i;
            continue;
        }
        if (Py_UNICODE_ISSPACE(c)) {
            ++i;
            continue;
        }
        const Py_ssize_t start = i;
        while (++i < n && !Py_UNICODE_ISSPACE(s[i])) {
        }
        if (drive.start < 0) {
            drive = {start, i};
        }
        if (i - start >= 5 && s[start] == 'U' && s[start + 1] == 'U' && s[start + 2] == 'I' &&
            s[start + 3] == 'D' && s[start + 4] == '=') {
            if (!visit(drive, Span{start, i})) {
                return false;
            }
        }
    }
    return true;
}

// The same for text of one byte per character, most tool output: each line found with
// memchr, and in it only the first token and what starts like a tag looked at, since a
// tag is a token only where whitespace (or the line's first token) begins it.
template <class Visit>
bool scanIdentifierTags(const Py_UCS1* s, Py_ssize_t n, Visit& visit) {
    const char* chars = reinterpret_cast<const char*>(s);
    for (Py_ssize_t at = 0; at < n;) {
        const void* newline = std::memchr(chars + at, '\n', static_cast<size_t>(n - at));
        const Py_ssize_t end = newline ? static_cast<const char*>(newline) - chars : n;
        Py_ssize_t i = at;
        while (i < end && Py_UNICODE_ISSPACE(s[i])) {
            ++i;
        }
        if (i < end) {
            const Py_ssize_t start = i;
            while (++i < end && !Py_UNICODE_ISSPACE(s[i])) {
            }
            const Span drive{start, i};
            const std::string_view line(chars, static_cast<size_t>(end));
            for (size_t from = static_cast<size_t>(start);;) {
                const size_t hit = line.find("UUID=", from, 5);
                if (hit == std::string_view::npos) {
                    break;
                }
                const auto tag = static_cast<Py_ssize_t>(hit);
                if (tag != start && !Py_UNICODE_ISSPACE(s[tag - 1])) {
                    from = hit + 1;
                    continue;
                }
                Py_ssize_t tagEnd = tag + 5;
                while (tagEnd < end && !Py_UNICODE_ISSPACE(s[tagEnd])) {
                    ++tagEnd;
                }
                if (!visit(drive, Span{tag, tagEnd})) {
                    return false;
                }
                from = static_cast<size_t>(tagEnd);
            }
        }
        at = end + 1;
    }
    return true;
}

// Calls visit(drive, tag) with the spans of the line's first token and of each
// identifier tag, in line and token order; `text` must be readable in place.
template <class Visit>
bool forEachIdentifierSpan(PyObject* text, Visit&& visit) {
    return withChars(
        text, [&](const auto* chars, Py_ssize_t n) { return scanIdentifierTags(chars, n, visit); });
}

// text[span], a new str.
Ref piece(PyObject* text, Span span);
// Whether text[span] holds the ASCII text `needle`.
bool spanHolds(PyObject* text, Span span, const char* needle);
// The identifier of a tag, tag[6:-1], and with `fold` shrunk as described in
// retrieval.cpp for 10 to 16 characters.
Ref identifier(PyObject* text, Span tag, bool fold);

// ---------------------------------------------------------------------------------
// df -h

struct MountLines {
    int lines;      // the text cut at newlines
    int eachLine;   // stepping through the lines
    int splitLine;  // cutting one line into its columns, and filing the path
};

// df's mount points filed by device. The device is the first column, and only a str
// can ever match it; the path is the whole last column, spaces included. Most devices
// are mounted once, so the first path of each sits in one dict and only the further
// ones in lists: a list per device would be a hundred thousand more objects for the
// cyclic collector to walk on a large server.
// line.split(None, 5) for each line of a text read in place, as str.split does it:
// calls visit(device, mount) for each line that has the sixth column, false from visit
// stopping the walk.
template <class Char, class Visit>
bool scanMounts(const Char* s, Py_ssize_t n, Visit& visit) {
    for (Py_ssize_t at = 0; at <= n;) {
        Py_ssize_t end = at;
        if constexpr (sizeof(Char) == 1) {
            const void* newline = at < n ? std::memchr(s + at, '\n', static_cast<size_t>(n - at))
                                         : nullptr;
            end = newline ? static_cast<const Char*>(newline) - s : n;
        } else {
            while (end < n && s[end] != '\n') {
                ++end;
            }
        }
        Py_ssize_t i = at;
        Span device{-1, -1};
        int columns = 0;
        for (; columns < 5; ++columns) {
            while (i < end && Py_UNICODE_ISSPACE(s[i])) {
                ++i;
            }
            if (i == end) {
                break;
            }
            const Py_ssize_t start = i;
            while (++i < end && !Py_UNICODE_ISSPACE(s[i])) {
            }
            if (columns == 0) {
                device = {start, i};
            }
        }
        if (columns == 5) {
            while (i < end && Py_UNICODE_ISSPACE(s[i])) {
                ++i;
            }
            if (i != end && !visit(device, Span{i, end})) {
                return false;
            }
        }
        at = end + 1;
    }
    return true;
}

class MountTable {
  public:
    // Reads df's output once; false with an exception set.
    bool read(Frame& f, PyObject* output, const MountLines& at);
    // Appends each path of device to entry, in df order; false with an exception set.
    bool appendPaths(PyObject* device, PyObject* entry) const;

  private:
    // Files one mount point under its device.
    bool file(PyObject* device, PyObject* path);

    Ref first_;  // {device: first path}
    Ref more_;   // {device: [second path, ...]}
};

}  // namespace vsn::lin
