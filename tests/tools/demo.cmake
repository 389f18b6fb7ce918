# The demo-directory generator: the tables it writes, and the phonedir-demo
# program run as a child process.
if(TARGET demo_directory)
  borvino_add_test(NAME demo_directory_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/demo_directory_test.cpp
    LIBS demo_directory tabula_cli
    TIMEOUT 300)
  target_compile_definitions(demo_directory_test PRIVATE PHONEDIR_DEMO_PATH="$<TARGET_FILE:phonedir_demo>")
  add_dependencies(demo_directory_test phonedir_demo)
endif()
