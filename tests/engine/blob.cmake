# The blob file (.BLB): layout, free chain, open blobs, repairs, damaged
# files, locks; the interop blobs; the randomized model with the checker.
borvino_add_test(NAME blob_file_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/blob_file_test.cpp
  LIBS tabula
  TIMEOUT 300)
borvino_add_test(NAME blob_interop_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/blob_interop_test.cpp
  LIBS tabula
  TIMEOUT 120)
borvino_add_test(NAME blob_model_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/blob_model_test.cpp
  LIBS tabula
  TIMEOUT 600)
