# Reads common/product.json, the one home of the product's facts, and makes
# them available to everything the build generates: LARKSPIRE_<KEY> for each
# key (upper case), the version in the two forms the version resource needs,
# and <build>/generated/product_facts.h, one wide-string macro a fact, which
# common/product.h includes. An edit of the file reconfigures the build.
set(LARKSPIRE_FACTS_FILE ${PROJECT_SOURCE_DIR}/common/product.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${LARKSPIRE_FACTS_FILE})
file(READ ${LARKSPIRE_FACTS_FILE} facts)

function(facts_error message)
    message(FATAL_ERROR "common/product.json: ${message}")
endfunction()

string(JSON fact_count ERROR_VARIABLE json_error LENGTH "${facts}")
if(json_error)
    facts_error("${json_error}")
endif()
set(fact_defines "")
math(EXPR last_fact "${fact_count} - 1")
foreach(index RANGE ${last_fact})
    string(JSON key MEMBER "${facts}" ${index})
    string(JSON kind TYPE "${facts}" ${key})
    string(JSON value GET "${facts}" ${key})
    # Every fact lands inside a C string, a resource string and XML as it is,
    # so only printable ASCII without quotes, backslashes or markup passes.
    if(NOT kind STREQUAL "STRING" OR NOT value MATCHES "^[ -~]+$" OR value MATCHES "[\"\\\\<>&]")
        facts_error("\"${key}\" must be a non-empty string of printable ASCII without \" \\ < > &")
    endif()
    if(NOT key MATCHES "^[a-z][a-z0-9_]*$")
        facts_error("the key \"${key}\" is not lower_case_with_underscores")
    endif()
    string(TOUPPER ${key} upper)
    set(LARKSPIRE_${upper} "${value}")
    string(APPEND fact_defines "#define LARKSPIRE_${upper} L\"${value}\"\n")
endforeach()

foreach(key NAME DISPLAY_NAME VERSION PUBLISHER DESCRIPTION COPYRIGHT CLIENT_EXE)
    if(NOT DEFINED LARKSPIRE_${key})
        string(TOLOWER ${key} lower)
        facts_error("\"${lower}\" is missing")
    endif()
endforeach()
# Windows keeps each part of a file version in 16 bits.
if(NOT LARKSPIRE_VERSION MATCHES "^(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)$"
   OR CMAKE_MATCH_1 GREATER 65535 OR CMAKE_MATCH_2 GREATER 65535 OR CMAKE_MATCH_3 GREATER 65535)
    facts_error("\"version\" must be MAJOR.MINOR.PATCH, each at most 65535")
endif()
set(LARKSPIRE_VERSION_LIST "${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}, ${CMAKE_MATCH_3}, 0")
set(LARKSPIRE_VERSION_QUAD "${LARKSPIRE_VERSION}.0")

set(LARKSPIRE_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
file(CONFIGURE OUTPUT ${LARKSPIRE_GENERATED_DIR}/product_facts.h
    CONTENT "// Generated from common/product.json at configure time; edit that file.\n#pragma once\n\n${fact_defines}"
    @ONLY)
