#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

// Reports one failure on stderr as "[err] <file>:<line>> <message>: [errno] <text>"
// and flushes, keeping errno as the caller left it. __FILE__ is relative to the
// repository root (see -fmacro-prefix-map in the build).
#define TESSARY_REPORT(fmt, ...)                                                   \
    do {                                                                          \
        const int tessary_saved_errno = errno;                                    \
        std::fprintf(stderr, "[err] %s:%u> " fmt ": [%d] %s\n", __FILE__,          \
                     static_cast<unsigned>(__LINE__), __VA_ARGS__,                \
                     tessary_saved_errno, std::strerror(tessary_saved_errno));    \
        std::fflush(stderr);                                                      \
        errno = tessary_saved_errno;                                              \
    } while (0)
