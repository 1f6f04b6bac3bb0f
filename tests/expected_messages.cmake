# The tests' own copy of every message box the product shows, in
# tests/expected_messages.json, which the Python end-to-end tests read as well
# (tests/e2e/expected.py): one copy on the test side, independent of the
# product's sources, since an exact text is what the tests check. This makes
# <build>/generated/expected_messages.h, one RecordedBox a message. In a text,
# {version} stands for the product's version; a message without a caption has
# the product's name as its caption, as the product's error boxes do.
set(messages_file ${CMAKE_CURRENT_SOURCE_DIR}/expected_messages.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${messages_file})
file(READ ${messages_file} messages)

function(wide_literal out value)
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    string(REPLACE "\n" "\\n" value "${value}")
    set(${out} "L\"${value}\"" PARENT_SCOPE)
endfunction()

set(message_boxes "")
string(JSON message_count LENGTH "${messages}")
math(EXPR last_message "${message_count} - 1")
foreach(index RANGE ${last_message})
    string(JSON name MEMBER "${messages}" ${index})
    string(JSON text GET "${messages}" ${name} text)
    string(JSON style GET "${messages}" ${name} style)
    string(JSON caption ERROR_VARIABLE no_caption GET "${messages}" ${name} caption)
    if(no_caption)
        set(caption ${LARKSPIRE_NAME})
    endif()
    string(REPLACE "{version}" "${LARKSPIRE_VERSION}" text "${text}")
    wide_literal(text "${text}")
    wide_literal(caption "${caption}")
    string(REPLACE "|" " | MB_" style "MB_${style}")
    string(APPEND message_boxes
           "inline const RecordedBox ${name} = {nullptr, ${text},\n    ${caption}, ${style}};\n")
endforeach()
file(CONFIGURE OUTPUT ${LARKSPIRE_GENERATED_DIR}/expected_messages.h
    CONTENT "// Generated from tests/expected_messages.json at configure time; edit that file.\n#pragma once\n\n#include \"tests/support/harness.h\"\n\n${message_boxes}"
    @ONLY)
