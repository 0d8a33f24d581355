# Cross builds with zig's clang (the ziglang package from the package index),
# for the wheels of other architectures and C libraries: TOOLS_ZIG_TARGET
# names the target (aarch64-linux-gnu.2.17, x86_64-linux-musl, ...), for
# whose C library zig brings its own headers and link stubs, so that no tree
# of the target is needed to link. zig links its libc++ statically; the
# interpreter's headers of the target are named by the build
# (Python_INCLUDE_DIR, with TOOLS_TARGET_SOABI).
string(REGEX MATCH "^[^-]+" _tools_zig_arch "$ENV{TOOLS_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${_tools_zig_arch})
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar)
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib)
# The modules are stripped when linked; the build machine's strip may not
# read the target's objects.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
set(CMAKE_STRIP true)
# zig's clang offers module scanning that its wrapper cannot run.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
