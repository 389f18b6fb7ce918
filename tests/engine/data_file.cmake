# The data file (.DAT) and table creation: field rules, defaults, the record
# cache and read-ahead, locks and change detection, created files, damaged
# files, and the interop tables written elsewhere.
borvino_add_test(NAME data_file_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/data_file_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/table_creator_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/data_file_interop_test.cpp
  LIBS tabula
  TIMEOUT 300)
borvino_add_test(NAME data_file_damage_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/data_file_damage_test.cpp
  LIBS tabula
  TIMEOUT 300)
