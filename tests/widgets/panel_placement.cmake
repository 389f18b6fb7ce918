find_package(Qt6 REQUIRED COMPONENTS Test)

borvino_add_test(NAME panel_message_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/panel_message_test.cpp
  LIBS widgets Qt6::Test
  TIMEOUT 120)

borvino_add_test(NAME placement_store_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/placement_store_test.cpp
  LIBS widgets Qt6::Test
  TIMEOUT 120)
