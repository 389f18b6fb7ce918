borvino_add_test(NAME ini_file_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ini_file_test.cpp
  LIBS framework_core
  TIMEOUT 60)
