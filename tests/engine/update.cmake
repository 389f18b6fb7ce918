# Record updates and transactions: the free-slot chain, record IDs, validity
# checks, key violations, blob fields, transactions (in one process and
# between processes), and the randomized model with the invariant checkers.
add_executable(update_peer ${CMAKE_CURRENT_LIST_DIR}/update_peer.cpp)
target_link_libraries(update_peer PRIVATE tabula test_support GTest::gtest)

borvino_add_test(NAME update_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_test.cpp
  LIBS tabula
  TIMEOUT 300)
borvino_add_test(NAME update_process_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_process_test.cpp
  LIBS tabula
  TIMEOUT 300)
target_compile_definitions(update_process_test PRIVATE TABULA_UPDATE_PEER="$<TARGET_FILE:update_peer>")
add_dependencies(update_process_test update_peer)
borvino_add_test(NAME update_model_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_model_test.cpp
  LIBS tabula
  TIMEOUT 300)
target_compile_definitions(update_model_test PRIVATE TABULA_UPDATE_PEER="$<TARGET_FILE:update_peer>")
borvino_add_test(NAME update_failure_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_failure_test.cpp
  LIBS tabula
  TIMEOUT 300)
