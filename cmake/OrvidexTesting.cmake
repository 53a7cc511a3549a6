# Test registration. Unit tests are GoogleTest programs that CTest runs under wine64, one
# private Wine prefix per program; black-box tests are Python scripts that start our
# programs in prefixes of their own.

set(ORVIDEX_WINE_TEST ${CMAKE_SOURCE_DIR}/scripts/wine-test)
# The i686 tree's programs run under the Wine of the 32-bit root (scripts/i686-root).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(ORVIDEX_TREE win32)
else()
    set(ORVIDEX_TREE win64)
endif()

# Every unit-test program reports a failed check that no test expects and ends with its code.
if(ORVIDEX_TESTS)
    add_library(orvidex_check_reporter OBJECT ${CMAKE_SOURCE_DIR}/RoVodEre/tests/check_reporter.cpp)
endif()

# orvidex_unit_test(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [DISPLAY] [STATELESS])
# DISPLAY: the program creates windows and runs on a virtual display of its own.
# STATELESS: the program changes no machine state (no registry, files or named objects), so
# under scripts/test it shares one prefix with the other such programs instead of paying for
# a prefix of its own.
function(orvidex_unit_test name)
    cmake_parse_arguments(T "DISPLAY;STATELESS" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    if(NOT ORVIDEX_TESTS)
        return()
    endif()
    set(exclude)
    if(NOT ORVIDEX_TESTS_IN_ALL)
        set(exclude EXCLUDE_FROM_ALL)
    endif()
    add_executable(${name} ${exclude} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE orvidex_check_reporter ${T_LIBS} rovodere gtest_main gtest)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set(launcher)
    if(T_DISPLAY)
        set(launcher ${CMAKE_SOURCE_DIR}/scripts/with-display)
    endif()
    set(prefix_choice)
    if(T_STATELESS)
        set(prefix_choice --shared)
    endif()
    add_test(NAME ${name} COMMAND ${launcher} ${ORVIDEX_WINE_TEST} --gtest ${name} ${prefix_choice}
             $<TARGET_FILE:${name}> --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS unit ENVIRONMENT ORVIDEX_TREE=${ORVIDEX_TREE})
endfunction()

# orvidex_blackbox_test(<name> <script.py> [TIMEOUT <s>] [SHARDS <n>] [COST <s>])
# COST: about how many seconds the whole script takes in a full parallel run. CTest starts the
# dearest entries first, so that the run does not end waiting on one long entry started last;
# a build folder's own measurements take over for entries without it, but a fresh one has none.
function(orvidex_blackbox_test name script)
    cmake_parse_arguments(T "" "TIMEOUT;SHARDS;COST" "" ${ARGN})
    if(NOT ORVIDEX_TESTS)
        return()
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 600)
    endif()
    # SHARDS N: a long script runs as N entries, each taking every N-th of its tests, so that
    # they run side by side.
    if(NOT T_SHARDS)
        set(T_SHARDS 1)
    endif()
    # Every black-box script outlasts any unit-test program.
    if(NOT T_COST)
        set(T_COST 20)
    endif()
    math(EXPR shard_cost "${T_COST} / ${T_SHARDS}")
    foreach(index RANGE 1 ${T_SHARDS})
        set(entry ${name})
        set(shard_env "")
        if(T_SHARDS GREATER 1)
            set(entry ${name}_${index})
            set(shard_env ";ORVIDEX_SHARD=${index}/${T_SHARDS}")
        endif()
        add_test(NAME ${entry}
                 COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/${script}
                 WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
        set_tests_properties(${entry} PROPERTIES TIMEOUT ${T_TIMEOUT} COST ${shard_cost} LABELS blackbox
            ENVIRONMENT "ORVIDEX_TEST_NAME=${entry};ORVIDEX_TREE=${ORVIDEX_TREE};ORVIDEX_BIN=${CMAKE_BINARY_DIR}/bin;PYTHONPATH=${CMAKE_SOURCE_DIR}/scripts;PYTHONDONTWRITEBYTECODE=1${shard_env}")
    endforeach()
endfunction()
