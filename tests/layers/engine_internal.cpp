// A user of the engine reaching for one of its own headers: this must not
// compile anywhere outside the engine and its tests.
#include "engine/index_file.h"

int EngineInternalProbe() { return sizeof(tabula::TIndexFile) > 0 ? 0 : 1; }
