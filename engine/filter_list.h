#pragma once
// Record filters of an open table: TFilter (one expression or callback
// filter with its record bitmap), TFilterList (the table's filters, at most
// 128, in the order they were added), and the evaluation of a filter into
// its bitmap from index scans and record reads.
//
// The table (TDataFile) owns its list and hands it to its index file as the
// filter hook (TIndexFilterHook): the index file asks it to rebuild the
// active filters' bitmaps over the candidate records, to combine them into
// the visible bitmap, and to follow records written and deleted. Index
// scans and record reads go through TFilterScanSource, which the data file
// provides.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/filter_bounds.h"
#include "tabula/filter_expr.h"
#include "tabula/filter_request.h"
#include "engine/index_bitmap.h"
#include "engine/index_file.h"

namespace tabula {

class TLanguageDriver;

// What the filters need of the table for index scans and record reads.
class TFilterScanSource {
 public:
  virtual ~TFilterScanSource() = default;
  virtual int32_t RecordSlots() = 0;
  virtual int32_t LiveRecordCount() = 0;
  virtual const TIndexDescriptor& IndexDescriptor(uint8_t slot) = 0;
  // The table's locale (language id 0 = none).
  virtual uint16_t LanguageId() = 0;
  virtual uint16_t SortId() = 0;
  // Keys of index `slot` between low and high, both included, in the
  // index's order; the index that was current before is current after.
  virtual int32_t CountKeysBetween(uint8_t slot, const uint8_t* low, const uint8_t* high) = 0;
  // Sets the bits of the records whose keys lie between low and high and
  // clears every other bit.
  virtual void MarkKeysBetween(uint8_t slot, const uint8_t* low, const uint8_t* high,
                               TRecordBitmap& bitmap) = 0;
  // Sets the bits of the records whose keys lie below low or above high and
  // clears every other bit.
  virtual void MarkKeysOutside(uint8_t slot, const uint8_t* low, const uint8_t* high,
                               TRecordBitmap& bitmap) = 0;
  // The buffer of record n, or nullptr when it is not a live record.
  virtual const uint8_t* ReadRecord(int32_t recNo) = 0;
  // Most slots one ReadRecordSpan gives (0: none; records come one by one).
  virtual int32_t RecordSpanSlots() { return 0; }
  // Up to `most` slots from `first` on in one read: `records` points at
  // slot `first`, the slots `stride` bytes apart (a slot whose first byte
  // is not 0 holds no live record), valid until the next read. Gives how
  // many slots are there; 0 leaves them to ReadRecord one by one.
  virtual int32_t ReadRecordSpan(int32_t /*first*/, int32_t /*most*/, const uint8_t*& records, size_t& stride) {
    records = nullptr;
    stride = 0;
    return 0;
  }
};

// One filter.
struct TFilter {
  bool IsCallback = false;
  TFilterCallback Callback;
  void* UserData = nullptr;
  TFilterTree Tree;                           // the expression tree (expression filters)
  uint8_t OptLevel = kOptRecord;              // of the whole filter; callbacks are always record by record
  bool RestrictToPrevious = false;
  bool Active = false;
  TRecordBitmap Bitmap;

  // Record-by-record verdict on one record buffer.
  bool Accepts(const uint8_t* record, int32_t recNo, uint16_t langId, uint16_t sortId) const;
};

// The table's side of a new filter: field lookup for buffers, the index fit
// for optimisation levels, and whether string keys order by a locale.
struct TFilterContext {
  TFilterFieldLookup Lookup;
  TIndexFitFunction Fit;
  bool LocaleOrderedStrings = false;
};

struct TFilterAddResult {
  int Code = 0;            // 0, or the engine error code for the caller to raise
  std::string FieldName;   // with kErrInvalidField: the unknown field
  TFilter* Handle = nullptr;
};

class TFilterList : public TIndexFilterHook {
 public:
  static constexpr size_t kMaxFilters = 128;

  TFilterList() = default;
  ~TFilterList() override;
  TFilterList(const TFilterList&) = delete;
  TFilterList& operator=(const TFilterList&) = delete;

  void SetContext(TFilterContext context) { context_ = std::move(context); }
  void SetSource(TFilterScanSource* source) { source_ = source; }

  // Adds an inactive filter. Codes: 9482 when 128 filters exist, 10051 when
  // the request holds neither buffer, tree nor callback or the buffer is not a
  // sound expression, 9985 (with the name) for a field the table lacks.
  TFilterAddResult Add(TFilterSpec request);
  // nullptr = every filter. 10050 for an unknown handle.
  int Remove(TFilter* handle);
  int Activate(TFilter* handle);
  int Deactivate(TFilter* handle);
  bool Contains(const TFilter* handle) const;

  size_t Count() const { return filters_.size(); }
  TFilter* At(size_t index) const { return index < filters_.size() ? filters_[index].get() : nullptr; }
  void Clear() { filters_.clear(); }

  // Evaluates one filter (just activated) into its bitmap: candidates
  // further restricted, with its restrict-to-previous flag, to the bitmaps
  // of the active filters before it.
  void Refresh(TFilter* handle, const TRecordBitmap& candidates) override;

  // ---- TIndexFilterHook ----
  bool AnyActive() const override;
  void Rebuild(const TRecordBitmap& candidates) override;
  void Combine(TRecordBitmap& visible) const override;
  void RecordWritten(int32_t recNo) override;
  void RecordDeleted(int32_t recNo) override;

 private:
  std::vector<std::unique_ptr<TFilter>> filters_;
  TFilterContext context_;
  TFilterScanSource* source_ = nullptr;
};

// Evaluates a filter over the candidate records into `bitmap` (sized to the
// table's record slots): index scans for the parts of level 0, record reads
// for the rest (only of records still in question). The result holds
// exactly the candidates that pass.
void EvaluateFilterBitmap(const TFilter& filter, const TRecordBitmap& candidates, TFilterScanSource& source,
                          TRecordBitmap& bitmap);

}  // namespace tabula
