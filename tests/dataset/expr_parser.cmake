# The filter expression parser: tokens, grammar, messages, buffers.
borvino_add_test(NAME expr_parser_test
  SOURCES expr_parser_test.cpp
  LIBS dataset
  TIMEOUT 120)
