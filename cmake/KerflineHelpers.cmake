# kerfline_test(NAME SOURCES... LIBS libs... [LABELS labels...])
# Builds one GoogleTest executable and registers its cases with CTest.
# Every test gets the label "fast" unless LABELS says otherwise; the default
# test run (see README) excludes the label "slow".
function(kerfline_test name)
  cmake_parse_arguments(KT "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${KT_SOURCES})
  target_link_libraries(${name} PRIVATE ${KT_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(NOT KT_LABELS)
    set(KT_LABELS fast)
  endif()
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${KT_LABELS}"
    DISCOVERY_TIMEOUT 60)
endfunction()
