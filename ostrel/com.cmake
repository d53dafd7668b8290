# COM object template (header-only, in com/): object, value, the module count, the owning pointer,
# and the flag set used by records that travel with COM interfaces.
list(APPEND OSTREL_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/com/tests/com_object_tests.cpp)
