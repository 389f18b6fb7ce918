# Index selection, key search, ranges, the master link, record search,
# lookups and blob streams; the type-ahead search against an oracle on a
# large table (scripts/keystroke-million plays it on a million records);
# the password dialog.
add_library(dataset_keystroke_support STATIC ${CMAKE_CURRENT_LIST_DIR}/keystroke_player.cpp)
target_link_libraries(dataset_keystroke_support PUBLIC dataset test_tables ICU::uc ICU::i18n)

borvino_add_test(NAME dataset_keystroke_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/keystroke_test.cpp
  LIBS dataset_keystroke_support
  TIMEOUT 600)

add_executable(dataset_keystroke_play ${CMAKE_CURRENT_LIST_DIR}/keystroke_play_main.cpp)
target_link_libraries(dataset_keystroke_play PRIVATE dataset_keystroke_support)

borvino_add_test(NAME dataset_search_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/search_test.cpp
  LIBS dataset test_tables
  TIMEOUT 300)

if(BORVINO_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  borvino_add_test(NAME password_dialog_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/password_dialog_test.cpp
    LIBS dataset_password_dialog Qt6::Test
    TIMEOUT 120)
endif()
