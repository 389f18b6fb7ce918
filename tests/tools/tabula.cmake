# The tabula command-line tool: its pieces (CSV, value texts, schema files)
# and the real program run as a child process on real tables.
borvino_add_test(NAME tabula_cli_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tabula_cli_test.cpp
  LIBS tabula_cli
  TIMEOUT 300)
borvino_add_test(NAME tabula_tool_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tabula_tool_test.cpp
  LIBS tabula_cli
  TIMEOUT 600)
target_compile_definitions(tabula_tool_test PRIVATE TABULA_TOOL_PATH="$<TARGET_FILE:tabula_tool>")
add_dependencies(tabula_tool_test tabula_tool)
