/* Configuration for compiling an extension module for 64-bit Windows CPython (3.9 and
   later) with clang or GCC targeting MinGW-w64, used by scripts/build-wheels in place
   of the Linux pyconfig.h that an installed include directory carries.

   It says only what the public headers ask of a 64-bit Windows build: the platform
   names, the sizes of the C types under the LLP64 model (long is 4 bytes, wchar_t is
   2), and that the interpreter lives in python3X.dll, so that its functions and data
   (PyExc_TypeError, the type objects) are reached through __declspec(dllimport).
   The interpreter it is for is the default build: Py_GIL_DISABLED stays undefined. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !(defined(__x86_64__) || defined(__aarch64__))
#error "this configuration is for 64-bit Windows only"
#endif

#include <io.h>
#include <stdio.h>

#define MS_WIN32
#define MS_WINDOWS
#ifndef MS_WIN64
#define MS_WIN64
#endif
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"
#define COMPILER "[clang]"

/* The core is in a DLL and every Windows compiler spells imports as __declspec. */
#define Py_ENABLE_SHARED 1
#define MS_COREDLL
#define HAVE_DECLSPEC_DLL

/* Py_ssize_t is left to pyport.h, which makes it intptr_t, with its maximum, when the
   pointer and size_t have one size. */

#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
#define PY_UINT32_T uint32_t
#define PY_UINT64_T uint64_t
#define PY_INT32_T int32_t
#define PY_INT64_T int64_t

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define ALIGNOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define LONG_BIT 32
#define WORD_BIT 32
#define HAVE_LARGEFILE_SUPPORT
#define HAVE_UINTPTR_T 1
#define HAVE_INTPTR_T 1

#define HAVE_WCHAR_H 1
#define HAVE_STDARG_PROTOTYPES
#define HAVE_DECL_TZNAME 1
#define HAVE_TZNAME
#define STDC_HEADERS 1
#define RETSIGTYPE void
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define WITH_DOC_STRINGS 1

#endif /* Py_CONFIG_H */
