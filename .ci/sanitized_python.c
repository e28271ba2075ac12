/* The interpreter of the sanitizer stage: the plain interpreter's main, linked with the
 * AddressSanitizer and UndefinedBehaviorSanitizer runtime. The runtime comes in through
 * this executable's own link, not through LD_PRELOAD, so the tools that the tests start
 * (blkid, df, /bin/sh) never load it, while every interpreter of the stage's virtual
 * environment does, whatever environment a test hands to it. The runtime's options are
 * built in for the same reason. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef VSN_SANITIZER_LOG
#error "VSN_SANITIZER_LOG: the path prefix that sanitizer reports are written to"
#endif

/* Leak checking at exit is off: the interpreter keeps much of what it allocates until the
 * process ends, and the module's records live as long as the process by design. The test
 * suite measures growth per call instead. Reports also go to files, so that one from a
 * child process whose output a test captures cannot go unseen. (The UndefinedBehavior-
 * Sanitizer part of the runtime takes no built-in options here: it reports on standard
 * error and, built with -fno-sanitize-recover, ends the process at the first fault.) */
const char* __asan_default_options(void) {
    return "detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:"
           "detect_stack_use_after_return=1:strict_string_checks=1:"
           "check_initialization_order=1:print_summary=1:log_path=" VSN_SANITIZER_LOG;
}

int main(int argc, char** argv) {
    return Py_BytesMain(argc, argv);
}
