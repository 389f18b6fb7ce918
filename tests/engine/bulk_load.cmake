# Bulk loading: the loader against row-by-row appends in every index kind,
# the key sorter's runs, failures at every file operation, and a table held
# open by another program.
borvino_add_test(NAME bulk_loader_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bulk_loader_test.cpp
  LIBS tabula
  TIMEOUT 300)
