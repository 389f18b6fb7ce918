# The side-by-side benchmark against SQLite (bench/run drives it): the
# engine and the table component beside SQLite on the same rows. SQLite is
# linked here only, as the peer. RUSSIAN_CI is built twice from one source:
# into the program, and as a loadable extension for the sqlite3 shell's
# `.import` (bench/run).
find_package(SQLite3 REQUIRED)
set(VERSUS_SQLITE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/versus_sqlite)
add_executable(bench_versus_sqlite
  ${VERSUS_SQLITE_DIR}/main.cpp ${VERSUS_SQLITE_DIR}/side_by_side.cpp ${VERSUS_SQLITE_DIR}/workload.cpp
  ${VERSUS_SQLITE_DIR}/engine_side.cpp ${VERSUS_SQLITE_DIR}/dataset_side.cpp ${VERSUS_SQLITE_DIR}/sqlite_side.cpp
  ${VERSUS_SQLITE_DIR}/russian_collation.cpp)
# Not bench_*: scripts/bench runs those without arguments; this one needs
# the inputs bench/run makes.
set_target_properties(bench_versus_sqlite PROPERTIES OUTPUT_NAME versus-sqlite)
# Inside the program the collation calls SQLite directly, not through the
# extension's table of routines.
target_compile_definitions(bench_versus_sqlite PRIVATE SQLITE_CORE)
target_link_libraries(bench_versus_sqlite PRIVATE dataset tabula SQLite::SQLite3 ICU::i18n ICU::uc)

add_library(russian_collation MODULE ${VERSUS_SQLITE_DIR}/russian_collation.cpp)
set_target_properties(russian_collation PROPERTIES PREFIX "")
target_link_libraries(russian_collation PRIVATE ICU::i18n ICU::uc)
