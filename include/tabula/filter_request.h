#pragma once
// A record filter request (TDataFile::AddFilter): a filter expression
// buffer, a ready expression tree or a callback.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "tabula/filter_expr.h"

namespace tabula {

// Asked about each record: (user data, record buffer, record number);
// true keeps the record.
using TFilterCallback = std::function<bool(void* userData, const uint8_t* record, int32_t recNo)>;

// A filter's expression tree: owned (freed with its holder) or borrowed
// from a caller that keeps it alive while the filter lives. Moving hands
// the ownership on, so no path frees a tree twice or forgets it.
class TFilterTree {
 public:
  TFilterTree() = default;
  static TFilterTree Owned(std::unique_ptr<TFilterNode> tree) {
    TFilterTree t;
    t.node_ = tree.get();
    t.owned_ = std::move(tree);
    return t;
  }
  static TFilterTree Borrowed(TFilterNode* tree) {
    TFilterTree t;
    t.node_ = tree;
    return t;
  }
  TFilterNode* Get() const { return node_; }
  TFilterNode& operator*() const { return *node_; }
  explicit operator bool() const { return node_ != nullptr; }

 private:
  std::unique_ptr<TFilterNode> owned_;
  TFilterNode* node_ = nullptr;
};

// What a filter is made from: exactly one of a buffer, a ready tree or a
// callback.
struct TFilterSpec {
  void* UserData = nullptr;
  const uint8_t* Buffer = nullptr;  // filter expression buffer; converted and owned
  size_t BufferSize = 0;
  TFilterTree Tree;                 // a ready tree, owned (the filter frees it) or borrowed
  TFilterCallback Callback;
  bool RestrictToPrevious = false;
};

}  // namespace tabula
