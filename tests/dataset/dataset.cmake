# The table dataset: sessions, databases, opening tables, navigation over
# the record-buffer ring with a data link, field values, edits and change
# detection between processes.
borvino_add_test(NAME table_dataset_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/table_open_test.cpp
  LIBS dataset test_tables
  TIMEOUT 300)
