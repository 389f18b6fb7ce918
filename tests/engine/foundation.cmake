# The engine foundation: files, in-memory store, sessions, locks, errors, lists.
add_executable(engine_lock_peer ${CMAKE_CURRENT_LIST_DIR}/lock_peer.cpp)
target_link_libraries(engine_lock_peer PRIVATE tabula)

borvino_add_test(NAME engine_foundation_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/lock_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_handler_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/memory_file_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/system_list_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/engine_error_test.cpp
  LIBS tabula
  TIMEOUT 300)
target_compile_definitions(engine_foundation_test PRIVATE TABULA_LOCK_PEER="$<TARGET_FILE:engine_lock_peer>")
add_dependencies(engine_foundation_test engine_lock_peer)
