#pragma once
// TDataFile with the parts it is built from, for the engine's own files
// that work on them (the data file's implementation, its checkers, the
// record store): the index and blob files, the filter list, the lock
// objects and state, the record store, the cursor and the owner bridge.

#include "engine/blob_file.h"
#include "tabula/data_file.h"
#include "engine/data_file_owners.h"
#include "engine/filter_list.h"
#include "engine/index_file.h"
#include "engine/lock_table.h"
#include "engine/record_cache.h"
#include "engine/record_store.h"
#include "engine/table_cursor.h"
#include "engine/table_lock_state.h"
