# The table dataset: sessions, databases, opening tables, navigation over
# the record-buffer ring with a data link, field values, edits and change
# detection between processes.
add_library(dataset_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/grid_player.cpp)
target_link_libraries(dataset_test_support PUBLIC dataset test_tables)

borvino_add_test(NAME table_dataset_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/table_open_test.cpp
  LIBS dataset test_tables
  TIMEOUT 300)
borvino_add_test(NAME dataset_grid_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/grid_test.cpp
  LIBS dataset_test_support
  TIMEOUT 600)

# The grid played over a large table (scripts/grid-million).
add_executable(dataset_grid_play ${CMAKE_CURRENT_LIST_DIR}/grid_play_main.cpp)
target_link_libraries(dataset_grid_play PRIVATE dataset_test_support)
target_sources(table_dataset_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/edit_test.cpp)
target_sources(table_dataset_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/link_test.cpp)
target_link_libraries(table_dataset_test PRIVATE dataset_test_support)

# The second process of the two-process tests.
add_executable(dataset_peer ${CMAKE_CURRENT_LIST_DIR}/dataset_peer.cpp)
target_link_libraries(dataset_peer PRIVATE dataset)
borvino_add_test(NAME dataset_process_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/process_test.cpp
  LIBS dataset_test_support
  TIMEOUT 300)
target_compile_definitions(dataset_process_test PRIVATE DATASET_PEER="$<TARGET_FILE:dataset_peer>")
add_dependencies(dataset_process_test dataset_peer)
