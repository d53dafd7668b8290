# Asynchronous file I/O and page buffers: overlapped reads and writes on thread-pool I/O, page-aligned
# pooled buffers, joins of several operations, and the folder reader. The logger uses it too.
target_sources(dedup_fileio PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/page_buffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/overlapped_io.cpp
    ${CMAKE_CURRENT_LIST_DIR}/directory_reader.cpp
)
list(APPEND ENGINE_TEST_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/page_buffer_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/overlapped_io_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/directory_reader_tests.cpp
)
