# Folder tree, folder tree file, operation records and the root folder object behind IRoot.
target_sources(dedup_engine PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/folder_tree.cpp
    ${CMAKE_CURRENT_LIST_DIR}/folder_tree_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/root_folder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/root_folder_queries.cpp
    ${CMAKE_CURRENT_LIST_DIR}/root_folder_operations.cpp
)
# PrjFileNameCompare orders the tree; UuidCreate makes folder identifiers.
target_link_libraries(dedup_engine PUBLIC projfs rpcrt4)
list(APPEND ENGINE_TEST_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/folder_path_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/folder_tree_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/folder_tree_file_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/folder_tree_file_corruption_tests.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/root_folder_tests.cpp
)
