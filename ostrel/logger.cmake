# Logger: its own target, so that the store engine can log without the rest of Ostrel. It writes
# through the engine's overlapped file I/O.
add_library(ostrel_logger STATIC ${CMAKE_CURRENT_LIST_DIR}/logger.cpp)
target_link_libraries(ostrel_logger PUBLIC dedup_fileio tavik quillo)
target_link_libraries(ostrel PUBLIC ostrel_logger)
list(APPEND OSTREL_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/logger_tests.cpp)
list(APPEND OSTREL_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/logger_allocation_failure_tests.cpp)
