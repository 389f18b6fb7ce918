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
# Damaged and foreign tables: every reader of the tool and the engine's
# cursor walks on damaged copies, check and rebuild-indexes on each; the
# reported faults one by one; mixed-script Russian keys; enciphered tables.
borvino_add_test(NAME tabula_damage_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tabula_damage_test.cpp ${CMAKE_CURRENT_LIST_DIR}/tabula_foreign_test.cpp
  LIBS tabula_cli util
  TIMEOUT 900)
target_compile_definitions(tabula_damage_test PRIVATE TABULA_TOOL_PATH="$<TARGET_FILE:tabula_tool>")
add_dependencies(tabula_damage_test tabula_tool)
