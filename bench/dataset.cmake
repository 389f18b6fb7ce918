# The keystroke path at a million subscribers: through the table component
# and through the engine alone.
add_executable(bench_dataset_keystroke ${CMAKE_CURRENT_SOURCE_DIR}/dataset_keystroke_bench.cpp)
target_link_libraries(bench_dataset_keystroke PRIVATE dataset test_tables benchmark::benchmark)
