# kerfline_test(NAME SOURCES... LIBS libs... [LABELS labels...])
# Builds one GoogleTest executable and registers its cases with CTest.
# Every test gets the label "fast" unless LABELS says otherwise; the default
# test run (see README) excludes the label "slow".
function(kerfline_test name)
  cmake_parse_arguments(KT "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${KT_SOURCES})
  target_link_libraries(${name} PRIVATE ${KT_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  # Shared test helpers: #include "support/..."
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(NOT KT_LABELS)
    set(KT_LABELS fast)
  endif()
  set(_env "")
  if(KERFLINE_SANITIZE)
    set(_env ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp")
  endif()
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${KT_LABELS}" ${_env}
    DISCOVERY_TIMEOUT 60)
endfunction()

# Adds every immediate subfolder of the current source folder that has a
# CMakeLists.txt. Lets each part of a subsystem own its folder.
function(kerfline_add_subdirs)
  file(GLOB _dirs LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _dirs)
  foreach(d ${_dirs})
    if(IS_DIRECTORY ${d} AND EXISTS ${d}/CMakeLists.txt)
      add_subdirectory(${d})
    endif()
  endforeach()
endfunction()
