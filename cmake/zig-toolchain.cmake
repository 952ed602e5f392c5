# The wheel's toolchain (make wheel; TESSARY_ZIG names the zig binary of the
# ziglang package). GCC here links against glibc 2.36 and its libstdc++, which
# tags a wheel manylinux_2_35 (2_36 with the static libstdc++); zig's clang
# links against the symbol versions of glibc 2.17 and brings its own libc++,
# linked in statically, so the module and tessary-sim run on any glibc from
# 2.17 on. module.map keeps libc++'s symbols out of the module's exports, and
# pybind11 keys its shared state by runtime (clang_libcpp), so the module
# shares no C++ types with extensions built against libstdc++.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(TESSARY_MODULE_EXPORTS ${CMAKE_CURRENT_LIST_DIR}/module.map)
