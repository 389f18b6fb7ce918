find_package(Qt6 REQUIRED COMPONENTS Test)

# The screenshots of the README, grabbed from the real window
# (scripts/screenshots runs it).
# Helpers the tests and the screenshot program share.
add_library(phonedir_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/message_box_watcher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message_box_watcher.h ${CMAKE_CURRENT_LIST_DIR}/user_input.cpp)
target_link_libraries(phonedir_test_support PUBLIC phonedir_app Qt6::Test)

add_executable(phonedir_screenshots ${CMAKE_CURRENT_LIST_DIR}/screenshots_main.cpp)
set_target_properties(phonedir_screenshots PROPERTIES OUTPUT_NAME phonedir-screenshots)
target_link_libraries(phonedir_screenshots PRIVATE phonedir_test_support Qt6::Test)

borvino_add_test(NAME app_parts_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_parts_test.cpp
  LIBS phonedir_app
  TIMEOUT 60)

# The program driven end to end over a small demo directory.
if(TARGET test_directory)
  borvino_add_test(NAME phonedir_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/phonedir_test.cpp
    LIBS phonedir_test_support test_directory Qt6::Test
    TIMEOUT 300)
endif()
