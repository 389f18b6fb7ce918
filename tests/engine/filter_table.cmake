# Filters wired into real tables: index scans, record-by-record evaluation
# and a C++ oracle agree on generated tables and filter texts (with and
# without the Russian language driver); callback filters, ranges, clones,
# records written and deleted under an active filter, error codes.
borvino_add_test(NAME filter_table_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/filter_table_test.cpp
  LIBS dataset tabula
  TIMEOUT 300)
