#pragma once
// Writing one index tree bottom up from keys handed over in ascending index
// order, without holding the tree: each level keeps the page it is filling
// and the full page before it (which waits for its successor's offset to
// link to it); a page is written as soon as its successor exists, and its
// first key and count go up to the level above. Leaves and nodes are filled
// to about 90% so that the first inserts do not split at once; at the end
// the last page of a level is merged with or evened out against the page
// before it, so no page but a root is left less than half full (compressed
// leaves have no minimum and are left as they are filled).
//
// Pages go to the index file's EndOfFile and are written with the file's
// cipher; Finish sets the slot's root in the buffered header, which the
// caller writes.

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/index_page.h"

namespace tabula {

class TIndexFile;

class TIndexBuilder {
 public:
  // The slot's tree must be empty.
  TIndexBuilder(TIndexFile& file, uint8_t slot);
  ~TIndexBuilder();
  TIndexBuilder(const TIndexBuilder&) = delete;
  TIndexBuilder& operator=(const TIndexBuilder&) = delete;

  // Keys must come strictly ascending (the caller checks the order).
  void Add(const uint8_t* key, uint32_t recNo);
  // Writes the pages still held and sets the root; returns the entries added.
  uint32_t Finish();

 private:
  struct TLevel;
  void Push(size_t level, const uint8_t* key, uint32_t ref, uint32_t count);
  bool PageFull(const TLevel& level) const;
  void StartPage(TLevel& level, bool leaf);
  // The filled page becomes the waiting one; the waiting one is written.
  void MoveOn(size_t level);
  void WritePage(size_t level, TPage& page, bool root);
  uint32_t NewOffset();

  TIndexFile& file_;
  uint8_t slot_;
  TPage::TLayout layout_;
  int leafLimit_;
  int nodeLimit_;
  std::vector<std::unique_ptr<TLevel>> levels_;
  std::vector<uint8_t> block_;
  uint32_t added_ = 0;
  bool finished_ = false;
};

}  // namespace tabula
