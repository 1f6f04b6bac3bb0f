# Compile and link settings shared by both shipped executables. Everything
# that decides the PE image lives here.

# The linker writes into the build folder, never into dist/: only
# scripts/build publishes there, once a whole build has succeeded.
set(LARKSPIRE_DIST_DIR ${PROJECT_BINARY_DIR}/out CACHE PATH
    "Where the linker writes the executables; scripts/build copies them on to dist/")

set(LARKSPIRE_COMPILE_OPTIONS
    -Os
    -fno-exceptions -fno-rtti -fno-threadsafe-statics
    # No runtime means no __chkstk and no security cookie to call.
    -fno-stack-protector -mno-stack-arg-probe
    # Without unwind tables there is no .pdata/.xdata and so no exception
    # directory; nothing here ever unwinds.
    -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections
    # Nothing may run before the entry: no runtime would call it.
    -Wglobal-constructors -Wexit-time-destructors
    -Wall -Wextra -Werror
    # windows.h without OLE, RPC, sockets and the common dialogs: the files
    # that use COM or the shell include those headers themselves. Each file
    # compiles in two thirds of the time, every rebuild a verifier runs
    # included, and the objects are the same.
    -DWIN32_LEAN_AND_MEAN)

set(LARKSPIRE_LINK_OPTIONS
    /nologo /nodefaultlib /machine:x64
    /subsystem:windows,6.2 /osversion:6.2
    /dynamicbase /highentropyva /nxcompat /tsaware /largeaddressaware
    /stack:0x100000,0x1000 /heap:0x100000,0x1000
    /filealign:512
    # A zero timestamp and no debug directory keep two builds byte-identical.
    /timestamp:0 /debug:none /opt:ref /opt:icf
    /manifest:no /guard:no)

# The Windows platform module would otherwise add gdi32, winspool and more.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_LINKER> <LINK_FLAGS> <OBJECTS> /out:<TARGET> <LINK_LIBRARIES>")

# larkspire_executable(target FILE name.exe ENTRY symbol RESOURCES res DLLS dll...
#                      SOURCES src...)
function(larkspire_executable target)
    cmake_parse_arguments(arg "" "FILE;ENTRY;RESOURCES" "DLLS;SOURCES" ${ARGN})
    add_executable(${target} ${arg_SOURCES})
    target_compile_options(${target} PRIVATE ${LARKSPIRE_COMPILE_OPTIONS})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${LARKSPIRE_GENERATED_DIR})
    target_link_options(${target} PRIVATE ${LARKSPIRE_LINK_OPTIONS} /entry:${arg_ENTRY})
    foreach(dll IN LISTS arg_DLLS)
        target_link_libraries(${target} PRIVATE ${LARKSPIRE_IMPORT_LIB_DIR}/lib${dll}.a)
    endforeach()
    if(arg_RESOURCES)
        # lld-link converts a .res file given as input into the .rsrc section.
        target_link_options(${target} PRIVATE ${arg_RESOURCES})
        set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${arg_RESOURCES})
        add_dependencies(${target} larkspire_resources)
    endif()
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${arg_FILE} SUFFIX ""
        RUNTIME_OUTPUT_DIRECTORY ${LARKSPIRE_DIST_DIR})
endfunction()

# The code both executables carry, compiled once for both.
add_library(larkspire_shared OBJECT ${PROJECT_SOURCE_DIR}/common/memory.cpp
    ${LARKSPIRE_COMMON_SOURCES} ${LARKSPIRE_LAUNCH_SOURCES})
target_compile_options(larkspire_shared PRIVATE ${LARKSPIRE_COMPILE_OPTIONS})
target_include_directories(larkspire_shared PRIVATE ${PROJECT_SOURCE_DIR}
    ${LARKSPIRE_GENERATED_DIR})
