#pragma once
// `dump --filter "EXPR"`: a filter text read by the dataset layer's
// expression parser (the filter syntax of the table component), turned into
// the engine's expression tree and evaluated record by record.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tabula/field_desc.h"

namespace tabula {
struct TFilterNode;
}

namespace tabula::tool {

class TRecordFilter {
 public:
  // `text` is UTF-8. Raises EUsageError for a text the parser refuses.
  TRecordFilter(const std::string& text, const std::vector<TFieldDesc>& fields, uint16_t langId, uint16_t sortId);
  ~TRecordFilter();
  bool Accepts(const uint8_t* record) const;

 private:
  std::unique_ptr<TFilterNode> root_;
  uint16_t langId_, sortId_;
};

}  // namespace tabula::tool
