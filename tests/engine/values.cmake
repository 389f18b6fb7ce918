# Field values, locale services, key encoding and comparison, operators.
borvino_add_test(NAME values_test
  SOURCES values_test.cpp locale_test.cpp key_encoding_test.cpp operators_test.cpp
  LIBS tabula
  TIMEOUT 120)
