#pragma once
// RUSSIAN_CI for SQLite: Russian text ordered by ICU with letter case
// ignored, the order of the directory's case-insensitive Name index.
// The same source is the benchmark's own registration (built with
// SQLITE_CORE) and a loadable extension for the sqlite3 shell
// (`.load russian_collation sqlite3_russiancollation_init`), so that the
// shell's `.import` and the benchmark order names alike.

struct sqlite3;
struct sqlite3_api_routines;

extern "C" int sqlite3_russiancollation_init(sqlite3* db, char** error, const sqlite3_api_routines* api);
