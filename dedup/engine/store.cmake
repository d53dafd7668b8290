# Block store: block index and "blocks.ddb", block files with their compression and purge, the
# block cache and block reads, store file names and the durable replace of store files.
target_sources(dedup_engine PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/store_names.cpp
    ${CMAKE_CURRENT_LIST_DIR}/store_file_system.cpp
    ${CMAKE_CURRENT_LIST_DIR}/durable_replace.cpp
    ${CMAKE_CURRENT_LIST_DIR}/block_index_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/async_shared_lock.cpp
    ${CMAKE_CURRENT_LIST_DIR}/block_store.cpp
    ${CMAKE_CURRENT_LIST_DIR}/block_writer.cpp
)
list(APPEND ENGINE_TEST_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/store_test_support.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/store_names_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/block_store_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/block_cache_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/store_corruption_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/store_crash_tests.cpp
)
