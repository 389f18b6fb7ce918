# The directory application on a large demo directory: start to first
# painted grid, keystroke to repainted grid (no peer: figures of its own).
if(BORVINO_GUI AND TARGET phonedir_app AND TARGET demo_directory)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  add_executable(bench_phonedir ${CMAKE_CURRENT_SOURCE_DIR}/phonedir_bench.cpp)
  target_link_libraries(bench_phonedir PRIVATE phonedir_app demo_directory Qt6::Test)
endif()
