# Production toolchain: clang and lld for x86_64-w64-mingw32, with Debian's
# mingw-w64 headers and import libraries. No C runtime is ever linked.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_LINKER lld-link)
set(LARKSPIRE_RC_COMPILER llvm-rc)
set(LARKSPIRE_IMPORT_LIB_DIR /usr/x86_64-w64-mingw32/lib)
# The compiler check must not link: there is no runtime to link it against.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
