# Table passwords: enciphered tables created, written and opened again; the
# password prompt loop; the second-cursor rule; no plain text in the files.
borvino_add_test(NAME cipher_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cipher_test.cpp
  LIBS tabula
  TIMEOUT 300)
