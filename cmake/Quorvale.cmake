# Project-wide helpers: one library per folder, tests with CTest labels.

# quorvale_library(NAME SOURCES... [QT] )
# Static library for one folder; include root is the source tree so headers are
# included as "rpc/any_codable.h", "model/file_item.h", ...
function(quorvale_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    quorvale_warnings(${name})
endfunction()

function(quorvale_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()

# quorvale_test(NAME LABEL label [TIMEOUT s] [LOCK resource] SOURCES... DEPS...)
# A GoogleTest executable registered with CTest under LABEL (unit, integration, vm, ui). Tests
# sharing a LOCK never run at the same time.
function(quorvale_test name)
    cmake_parse_arguments(ARG "" "LABEL;TIMEOUT;LOCK" "SOURCES;DEPS" ${ARGN})
    if(NOT ARG_LABEL)
        message(FATAL_ERROR "quorvale_test(${name}) needs a LABEL")
    endif()
    add_executable(${name} ${ARG_SOURCES})
    # One target per label builds just the programs of that label (the sanitizer run needs unit).
    if(NOT TARGET ${ARG_LABEL}-tests)
        add_custom_target(${ARG_LABEL}-tests)
    endif()
    add_dependencies(${ARG_LABEL}-tests ${name})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    quorvale_warnings(${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    if(NOT TARGET quorvale_test_env)
        add_library(quorvale_test_env OBJECT ${PROJECT_SOURCE_DIR}/tests/test_env.cpp)
        target_compile_definitions(quorvale_test_env PRIVATE
            QUORVALE_TEST_BUILD_DIR="${PROJECT_BINARY_DIR}"
            QUORVALE_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    endif()
    # The environment (QT_QPA_PLATFORM, QUORVALE_BUILD_DIR, QUORVALE_SOURCE_DIR) comes from
    # quorvale_test_env: list-valued test properties do not survive gtest_discover_tests.
    target_link_libraries(${name} PRIVATE quorvale_test_env)
    set(lock)
    if(ARG_LOCK)
        set(lock RESOURCE_LOCK ${ARG_LOCK})
    endif()
    gtest_discover_tests(${name}
        PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT} ${lock}
        DISCOVERY_TIMEOUT 60)
endfunction()

# quorvale_folder_library(NAME [FOLDERS folder...] DEPS...)
# A library built from every .cpp of the current folder and of the listed subfolders (folders
# shared by several authors), plus the optional tools/ subfolder holding that subsystem's
# command-line programs.
function(quorvale_folder_library name)
    cmake_parse_arguments(ARG "" "" "FOLDERS;DEPS" ${ARGN})
    set(patterns ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    foreach(folder ${ARG_FOLDERS})
        list(APPEND patterns ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
    endforeach()
    file(GLOB sources CONFIGURE_DEPENDS ${patterns})
    if(NOT sources)
        return()
    endif()
    quorvale_library(${name} SOURCES ${sources} DEPS ${ARG_DEPS})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/tools/CMakeLists.txt)
        add_subdirectory(tools)
    endif()
endfunction()
