// A user of the engine: the public face is enough to name the table.
#include "tabula/data_file.h"
#include "tabula/file_session.h"

int PublicFaceProbe() { return sizeof(tabula::TDataFile) > 0 ? 0 : 1; }
