#include "engine/filter_list.h"

#include <algorithm>

#include "tabula/engine_error.h"
#include "tabula/locale.h"

namespace tabula {

bool TFilter::Accepts(const uint8_t* record, int32_t recNo, uint16_t langId, uint16_t sortId) const {
  if (IsCallback) return Callback ? Callback(UserData, record, recNo) : true;
  if (!Tree) return true;
  return EvaluateFilter(*Tree, record, langId, sortId);
}

// ---------------------------------------------------------------- the list

TFilterList::~TFilterList() = default;

TFilterAddResult TFilterList::Add(TFilterSpec request) {
  TFilterAddResult result;
  if (filters_.size() >= kMaxFilters) {
    result.Code = kErrTooManyFilters;
    return result;
  }
  auto filter = std::make_unique<TFilter>();
  filter->UserData = request.UserData;
  filter->RestrictToPrevious = request.RestrictToPrevious;
  if (request.Buffer != nullptr) {
    TFilterConversion conversion = ConvertFilterBuffer(request.Buffer, request.BufferSize, context_.Lookup);
    if (conversion.Code != 0) {
      result.Code = conversion.Code;
      result.FieldName = conversion.FieldName;
      return result;
    }
    filter->Tree = TFilterTree::Owned(std::move(conversion.Root));
  } else if (request.Tree) {
    filter->Tree = std::move(request.Tree);
  } else if (request.Callback) {
    filter->IsCallback = true;
    filter->Callback = std::move(request.Callback);
  } else {
    result.Code = kErrFilterExpression;
    return result;
  }
  filter->OptLevel = kOptRecord;
  if (!filter->IsCallback) {
    filter->OptLevel = AssignOptimisationLevels(*filter->Tree, context_.Fit, context_.LocaleOrderedStrings);
  }
  result.Handle = filter.get();
  filters_.push_back(std::move(filter));
  return result;
}

bool TFilterList::Contains(const TFilter* handle) const {
  return std::any_of(filters_.begin(), filters_.end(), [&](const auto& f) { return f.get() == handle; });
}

int TFilterList::Remove(TFilter* handle) {
  if (handle == nullptr) {
    filters_.clear();
    return 0;
  }
  auto it = std::find_if(filters_.begin(), filters_.end(), [&](const auto& f) { return f.get() == handle; });
  if (it == filters_.end()) return kErrFilterHandle;
  filters_.erase(it);
  return 0;
}

int TFilterList::Activate(TFilter* handle) {
  if (handle == nullptr) {
    for (auto& f : filters_) f->Active = true;
    return 0;
  }
  if (!Contains(handle)) return kErrFilterHandle;
  handle->Active = true;
  return 0;
}

int TFilterList::Deactivate(TFilter* handle) {
  if (handle == nullptr) {
    for (auto& f : filters_) f->Active = false;
    return 0;
  }
  if (!Contains(handle)) return kErrFilterHandle;
  handle->Active = false;
  return 0;
}

bool TFilterList::AnyActive() const {
  return std::any_of(filters_.begin(), filters_.end(), [](const auto& f) { return f->Active; });
}

void TFilterList::Refresh(TFilter* handle, const TRecordBitmap& candidates) {
  if (source_ == nullptr || !Contains(handle)) return;
  TRecordBitmap input = candidates;
  if (handle->RestrictToPrevious) {
    for (const auto& f : filters_) {
      if (f.get() == handle) break;
      if (f->Active) input.And(f->Bitmap);
    }
  }
  EvaluateFilterBitmap(*handle, input, *source_, handle->Bitmap);
}

void TFilterList::Rebuild(const TRecordBitmap& candidates) {
  if (source_ == nullptr) return;
  for (auto& f : filters_) {
    if (f->Active) EvaluateFilterBitmap(*f, candidates, *source_, f->Bitmap);
  }
}

void TFilterList::Combine(TRecordBitmap& visible) const {
  for (const auto& f : filters_) {
    if (f->Active) visible.And(f->Bitmap);
  }
}

void TFilterList::RecordWritten(int32_t recNo) {
  if (source_ == nullptr || recNo < 1) return;
  const uint8_t* record = nullptr;
  bool read = false;
  for (auto& f : filters_) {
    if (!f->Active) continue;
    if (!read) {
      record = source_->ReadRecord(recNo);
      read = true;
    }
    if (f->Bitmap.Slots() < recNo) f->Bitmap.Grow(recNo);
    if (record != nullptr && f->Accepts(record, recNo, source_->LanguageId(), source_->SortId())) {
      f->Bitmap.Set(recNo);
    } else {
      f->Bitmap.Clear(recNo);
    }
  }
}

void TFilterList::RecordDeleted(int32_t recNo) {
  for (auto& f : filters_) {
    if (f->Active) f->Bitmap.Clear(recNo);
  }
}

// ---------------------------------------------------------------- evaluation

namespace {

class TBitmapEvaluator {
 public:
  TBitmapEvaluator(const TFilter& filter, TFilterScanSource& source)
      : filter_(filter),
        source_(source),
        slots_(source.RecordSlots()),
        langId_(source.LanguageId()),
        sortId_(source.SortId()),
        driver_(langId_ != 0 ? TLanguageDriver::Find(langId_, sortId_) : nullptr) {}

  // Evaluates a node into `bitmap`, which holds the node's input. In
  // and-context only the records set in the input can pass.
  void Evaluate(const TFilterNode& node, TRecordBitmap& bitmap, bool andContext) {
    if (node.OptLevel == kOptRecord) {
      RecordByRecord(&node, bitmap, andContext);
      return;
    }
    switch (node.NodeClass) {
      case kNodeUnary:
        if (node.Operator == kOpNot && node.Left) {
          TRecordBitmap copy = bitmap;
          Evaluate(*node.Left, copy, false);
          copy.Invert();
          bitmap = std::move(copy);
          return;
        }
        IndexScan(node, bitmap);
        return;
      case kNodeBinary:
        if (node.Operator == kOpAnd && node.Left && node.Right) {
          TRecordBitmap first = bitmap;
          Evaluate(*node.Left, first, andContext);
          TRecordBitmap second = first;
          Evaluate(*node.Right, second, true);
          first.And(second);
          bitmap = std::move(first);
          return;
        }
        if (node.Operator == kOpOr && node.Left && node.Right) {
          TRecordBitmap first = bitmap;
          Evaluate(*node.Left, first, false);
          TRecordBitmap second;
          second.Reset(slots_);
          second.SetAll();
          Evaluate(*node.Right, second, false);
          first.Or(second);
          bitmap = std::move(first);
          return;
        }
        IndexScan(node, bitmap);
        return;
      case kNodeCompare:
        IndexScan(node, bitmap);
        return;
      default:
        RecordByRecord(&node, bitmap, andContext);
        return;
    }
  }

  // The whole filter record by record (callbacks, and trees of level 2).
  void RecordByRecord(const TFilterNode* node, TRecordBitmap& bitmap, bool andContext) {
    if (bitmap.Slots() != slots_) bitmap.Grow(slots_);
    if (!andContext) bitmap.SetAll();
    // Records come in blocks of slots, each block ending at the last
    // candidate within its reach, so sparse candidates read little.
    const uint8_t* span = nullptr;
    size_t stride = 0;
    int32_t spanFirst = 0;
    int32_t spanCount = 0;
    const int32_t spanSlots = source_.RecordSpanSlots();
    for (int32_t r = bitmap.NextSet(1); r != 0; r = r < slots_ ? bitmap.NextSet(r + 1) : 0) {
      if (spanSlots > 0 && (r < spanFirst || r - spanFirst >= spanCount)) {
        const int32_t reach = bitmap.PriorSet(std::min(slots_, r + spanSlots - 1));
        spanFirst = r;
        spanCount = source_.ReadRecordSpan(r, reach - r + 1, span, stride);
      }
      const uint8_t* record = nullptr;
      if (r - spanFirst < spanCount) {
        record = span + size_t(r - spanFirst) * stride;
        if (record[0] != 0) record = nullptr;
      } else {
        record = source_.ReadRecord(r);
      }
      bool pass = false;
      if (record != nullptr) {
        pass = node != nullptr ? EvaluateFilter(*node, record, langId_, sortId_)
                               : filter_.Accepts(record, r, langId_, sortId_);
      }
      if (!pass) bitmap.Clear(r);
    }
  }

 private:
  // A condition of level 0: the keys of its fitting index between the
  // bounds, or, when fewer keys lie outside them, the inverse of those.
  void IndexScan(const TFilterNode& node, TRecordBitmap& bitmap) {
    TKeyBounds bounds;
    if (node.IndexSlot < 0 ||
        !BuildConditionBounds(node, source_.IndexDescriptor(static_cast<uint8_t>(node.IndexSlot)), driver_,
                              bounds)) {
      // Not answerable from an index after all: read the records.
      RecordByRecord(&node, bitmap, false);
      return;
    }
    const auto slot = static_cast<uint8_t>(node.IndexSlot);
    TRecordBitmap result;
    result.Reset(slots_);
    const int32_t inside = source_.CountKeysBetween(slot, bounds.Low.data(), bounds.High.data());
    if (inside > source_.LiveRecordCount() - inside) {
      source_.MarkKeysOutside(slot, bounds.Low.data(), bounds.High.data(), result);
      result.Invert();
    } else {
      source_.MarkKeysBetween(slot, bounds.Low.data(), bounds.High.data(), result);
    }
    // `<>` is the inverse of `=`, whether or not the constant is blank.
    if (bounds.Invert) result.Invert();
    bitmap = std::move(result);
  }

  const TFilter& filter_;
  TFilterScanSource& source_;
  int32_t slots_;
  uint16_t langId_;
  uint16_t sortId_;
  const TLanguageDriver* driver_;
};

}  // namespace

void EvaluateFilterBitmap(const TFilter& filter, const TRecordBitmap& candidates, TFilterScanSource& source,
                          TRecordBitmap& bitmap) {
  TBitmapEvaluator evaluator(filter, source);
  const int32_t slots = source.RecordSlots();
  bitmap = candidates;
  if (bitmap.Slots() != slots) bitmap.Grow(slots);
  if (filter.IsCallback || !filter.Tree) {
    evaluator.RecordByRecord(nullptr, bitmap, true);
  } else {
    evaluator.Evaluate(*filter.Tree, bitmap, true);
  }
  // Only candidates survive.
  TRecordBitmap mask = candidates;
  if (mask.Slots() != slots) mask.Grow(slots);
  bitmap.And(mask);
}

}  // namespace tabula
