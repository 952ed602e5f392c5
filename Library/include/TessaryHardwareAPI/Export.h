#pragma once

// TESSARY_API marks the library's public API. The library is compiled with
// hidden visibility, so in libtessary.so only what carries this mark is
// exported. The static archive (built and used with TESSARY_STATIC, which
// CMake and pkg-config pass on) marks nothing: a shared object that links it
// in, such as the Python module, does not re-export the library.
#if defined(TESSARY_STATIC)
#define TESSARY_API
#else
#define TESSARY_API __attribute__((visibility("default")))
#endif
