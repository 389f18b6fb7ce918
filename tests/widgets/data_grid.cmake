# The data grid over a demo directory's subscriber table.
find_package(Qt6 REQUIRED COMPONENTS Test)
if(TARGET test_directory)
  borvino_add_test(NAME data_grid_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/data_grid_test.cpp
    LIBS widgets dataset test_directory Qt6::Test
    TIMEOUT 300)
endif()
