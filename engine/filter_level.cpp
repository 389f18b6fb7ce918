// The optimisation level of a filter (filter_level.h).

#include "tabula/filter_level.h"

#include "engine/filter_list.h"

namespace tabula {

uint8_t FilterOptLevel(const TFilter& filter) { return filter.OptLevel; }

}  // namespace tabula
