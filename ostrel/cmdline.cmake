# Command line: option table, parsing, typed values and help text.
target_sources(ostrel PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/cmd_line.cpp)
list(APPEND OSTREL_TEST_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tests/cmd_line_tests.cpp)
