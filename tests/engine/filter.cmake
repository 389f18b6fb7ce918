# Record filters: buffer conversion, record-by-record evaluation against an
# oracle, key bounds, the bitmap evaluation over a model index, scrambling.
borvino_add_test(NAME filter_test
  SOURCES filter_eval_test.cpp filter_bounds_test.cpp scramble_test.cpp
  LIBS dataset tabula
  TIMEOUT 300)
