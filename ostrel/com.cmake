# COM object template (header-only, in com/): object, value, the module count and the owning pointer.
list(APPEND OSTREL_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/com/tests/com_object_tests.cpp)
