# Turns the client executable into a C++ byte array: cmake -P, so the build
# needs no extra tool. Usage: cmake -DINPUT=exe -DOUTPUT=cpp -P embed_client.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# Sixteen bytes a line keeps the generated file readable in a diff.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from the client executable at build time; do not edit.\n"
"#include \"installer/installer.h\"\n"
"extern const unsigned char ClientImage[] = {\n${bytes}\n};\n"
"extern const unsigned ClientImageSize = ${size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
