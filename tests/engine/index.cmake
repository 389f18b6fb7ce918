# The index file (.IDX): page format and compression, the counted B+-trees,
# cursor navigation, ranges, bitmaps, the invariant checker, the interop
# index, two processes, and the randomized model (one CTest test per
# configuration).
borvino_add_test(NAME index_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/index_page_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/index_file_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/index_cursor_test.cpp
  LIBS tabula
  TIMEOUT 300)
borvino_add_test(NAME index_model_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/index_model_test.cpp
  LIBS tabula
  TIMEOUT 900)
