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

# The unwinder is the system's libgcc_s (every manylinux policy allows it),
# not a copy of LLVM's linked in beside libc++: glibc ends threads with a
# forced unwind through libgcc_s (pthread_exit, which Python calls on a thread
# that wants the interpreter back while it finalizes), and libc++'s
# personality routine must read that unwinder's frames with the same
# unwinder's functions, or the thread crashes. Given as a file, it comes
# before zig's own libunwind, which is then never linked.
execute_process(COMMAND gcc -print-file-name=libgcc_s.so.1 OUTPUT_VARIABLE TESSARY_LIBGCC_S
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT ${TESSARY_LIBGCC_S})
