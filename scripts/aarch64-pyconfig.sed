# Turns the pyconfig.h of an x86_64 Linux CPython into that of the same CPython on
# aarch64 Linux, for the versions no Debian release builds for arm64 (scripts/build-wheels).
#
# Both machines are LP64 with glibc and the same IEEE types, so every size, alignment
# and library feature that configure finds is the same on both. Debian's x86_64 and
# arm64 builds of one version (3.9, 3.11, 3.13, 3.14, 3.15) differ in these lines only;
# each is rewritten to what the arm64 build says, and nothing else is touched.

# x87 and x86-64 inline assembly, which pymath.h would otherwise reach for.
s|^#define HAVE_GCC_ASM_FOR_X64 1$|/* #undef HAVE_GCC_ASM_FOR_X64 */|
s|^#define HAVE_GCC_ASM_FOR_X87 1$|/* #undef HAVE_GCC_ASM_FOR_X87 */|
# wchar_t is unsigned on aarch64 (a signed int on x86_64), which configure calls usable.
s|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|
# The support tier (3.11 on): aarch64 Linux is tier 2.
s|^#define PY_SUPPORT_TIER 1$|#define PY_SUPPORT_TIER 2|
# Vector code for the interpreter's own hashes (3.14 on): x86 only.
s|^#define _Py_HACL_CAN_COMPILE_VEC128 1$|/* #undef _Py_HACL_CAN_COMPILE_VEC128 */|
s|^#define _Py_HACL_CAN_COMPILE_VEC256 1$|/* #undef _Py_HACL_CAN_COMPILE_VEC256 */|
# The machine in the extension suffix (3.15 on).
s|^#define SOABI_PLATFORM "x86_64-linux-gnu"$|#define SOABI_PLATFORM "aarch64-linux-gnu"|
