// Starting a tool and cleaning what it printed.
#include "module/functions.hpp"

namespace vsn::fn {

Ref _runCmdList(Frame& f, PyObject* const* args) {
    PyObject* cmd_list = args[0];
    PyObject* isShellCmd = args[1];

    // run(cmd_list, stdout=PIPE, shell=isShellCmd), and nothing more: the child shares
    // our stdin, stderr, cwd and environment, and its exit status is not ours to judge.
    f.at(88);
    Ref run = global(k().run.borrow());
    if (!run) {
        return {};
    }
    Ref pipe = global(k().PIPE.borrow());
    if (!pipe) {
        return {};
    }
    PyObject* argv[] = {nullptr, cmd_list, pipe.borrow(), isShellCmd};
    Ref process = Ref::steal(PyObject_Vectorcall(
        run.borrow(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, k().kw_stdout_shell.borrow()));
    if (!process) {
        return {};
    }

    f.at(89);
    Ref clean = global(k()._cleanStdout.borrow());
    if (!clean) {
        return {};
    }
    Ref output = getAttr(process.borrow(), k().t_stdout.borrow());
    if (!output) {
        return {};
    }
    return call(clean.borrow(), output.borrow());
}

namespace {

// text.rstrip().lstrip() for an exact str, whose methods nothing can replace.
Ref strip(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(text);
    while (end > 0 && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) {
        --end;
    }
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) {
        ++start;
    }
    if (start == 0 && end == PyUnicode_GET_LENGTH(text)) {
        return Ref::newRef(text);
    }
    return Ref::steal(PyUnicode_Substring(text, start, end));
}

}  // namespace

Ref _cleanStdout(Frame& f, PyObject* byte_string) {
    f.at(84);
    if (PyBytes_CheckExact(byte_string)) {
        // What the calls below come to for bytes, whose methods nothing can replace.
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(
            PyBytes_AS_STRING(byte_string), PyBytes_GET_SIZE(byte_string), "surrogateescape"));
        if (!text) {
            return {};
        }
        return strip(text.borrow());
    }
    // UTF-8 with surrogateescape, as os.fsdecode does: one non-ASCII label or localized
    // message must not make every retrieval fail, and no byte is lost on the way.
    Ref decode = getAttr(byte_string, k().decode.borrow());
    if (!decode) {
        return {};
    }
    Ref text = call(decode.borrow(), k().t_utf8.borrow(), k().t_surrogateescape.borrow());
    if (!text) {
        return {};
    }
    Ref right = callMethod(text.borrow(), k().rstrip.borrow());
    if (!right) {
        return {};
    }
    return callMethod(right.borrow(), k().lstrip.borrow());
}

}  // namespace vsn::fn
