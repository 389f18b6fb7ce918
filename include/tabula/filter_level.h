#pragma once
// How the engine answers a filter of an open table: its optimisation level
// (kOptIndex, kOptPartly or kOptRecord of filter_expr.h), worked out once
// when the filter was added; callback filters are record by record.

#include <cstdint>

namespace tabula {

struct TFilter;

uint8_t FilterOptLevel(const TFilter& filter);

}  // namespace tabula
