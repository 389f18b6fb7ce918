#include "engine/blob_checker.h"

#include <algorithm>
#include <unordered_map>

#include "engine/blob_file.h"

namespace tabula {

namespace {

class TChecker {
 public:
  TChecker(TBlobFile& file, const TBlobCheckOptions& options) : file_(file), options_(options) {}

  std::vector<std::string> Run(const std::vector<TBlobReference>& references) {
    if (!CheckHeader()) return faults_;
    CheckFreeChain();
    for (const TBlobReference& ref : references) {
      if (ref.Offset != 0) CheckBlob(ref);
    }
    if (options_.ReportLostBlocks) CheckLostBlocks();
    return faults_;
  }

 private:
  void Fault(std::string text) { faults_.push_back(std::move(text)); }

  static std::string Where(const TBlobReference& ref) {
    return "record " + std::to_string(ref.RecordNo) + " field " + std::to_string(ref.FieldNo);
  }

  // The block's header as the cache holds it; false when it cannot be had.
  bool Read(int32_t offset, TBlockHeader& header) {
    TBlock* block = nullptr;
    for (int tries = 0; tries < 8; ++tries) {
      if (file_.GetBlock(offset, true, 16, block)) {
        header = block->Header();
        file_.ReleaseBlock(block);
        return true;
      }
    }
    Fault("block " + std::to_string(offset) + ": could not be read");
    return false;
  }

  bool CheckHeader() {
    if (file_.FormatVersion() != kBlobFormatVersion) {
      Fault("header: FormatVersion " + std::to_string(file_.FormatVersion()) + ", expected 3");
      return false;
    }
    const int64_t end = file_.EndOfBlocks();
    if (end < kBlobHeaderSize || (end - kBlobHeaderSize) % file_.BlockSize() != 0) {
      Fault("header: EndOfBlocks " + std::to_string(end) + " is not a block boundary");
      return false;
    }
    if (options_.CheckFileSize) {
      int64_t size = file_.QueryFileSize();
      if (size != end) {
        Fault("header: file length " + std::to_string(size) + " differs from EndOfBlocks " + std::to_string(end));
      }
    }
    return true;
  }

  void CheckFreeChain() {
    int32_t at = file_.FirstFreeBlock();
    int32_t prior = 0;
    while (at != 0) {
      if (!file_.IsBlockOffset(at)) {
        Fault("free chain: " + Link(prior) + " points to " + std::to_string(at) + ", not a block of the file");
        return;
      }
      auto [it, inserted] = claims_.emplace(at, "the free chain");
      if (!inserted) {
        Fault("free chain: block " + std::to_string(at) + " met twice (a cycle)");
        return;
      }
      TBlockHeader header;
      if (!Read(at, header)) return;
      prior = at;
      at = header.NextBlock;
    }
  }

  static std::string Link(int32_t prior) {
    return prior == 0 ? std::string("FirstFreeBlock") : "block " + std::to_string(prior);
  }

  void CheckBlob(const TBlobReference& ref) {
    const std::string where = Where(ref);
    if (!file_.IsBlockOffset(ref.Offset)) {
      Fault(where + ": reference " + std::to_string(ref.Offset) + " is not a block of the file");
      return;
    }
    TBlockHeader first;
    if (!Read(ref.Offset, first)) return;
    if (first.OwnerRecord != ref.RecordNo) {
      Fault(where + ": first block " + std::to_string(ref.Offset) + " belongs to record " +
            std::to_string(first.OwnerRecord));
      return;
    }
    if (first.PriorBlock != 0) Fault(where + ": first block has PriorBlock " + std::to_string(first.PriorBlock));
    if (first.BlobLength < 0) {
      Fault(where + ": negative BlobLength " + std::to_string(first.BlobLength));
      return;
    }
    const int32_t dataBytes = file_.DataBytesPerBlock();
    const int32_t expected = std::max(file_.BlocksFor(first.BlobLength), 1);
    int64_t remaining = first.BlobLength;
    int32_t at = ref.Offset;
    int32_t prior = 0;
    TBlockHeader header = first;
    for (int32_t n = 1;; ++n) {
      const std::string block = where + ": block " + std::to_string(at) + " (" + std::to_string(n) + " of " +
                                std::to_string(expected) + ")";
      auto [it, inserted] = claims_.emplace(at, where);
      if (!inserted) {
        Fault(block + " is also in " + it->second);
        return;
      }
      if (n > 1) {
        if (header.OwnerRecord != ref.RecordNo) {
          Fault(block + " belongs to record " + std::to_string(header.OwnerRecord));
        }
        if (header.PriorBlock != prior) {
          Fault(block + " has PriorBlock " + std::to_string(header.PriorBlock) + ", expected " + std::to_string(prior));
        }
        if (header.BlobLength != 0) Fault(block + " has BlobLength " + std::to_string(header.BlobLength));
      }
      const int64_t used = std::min<int64_t>(dataBytes, remaining);
      if (header.UsedBytes != used) {
        Fault(block + " has UsedBytes " + std::to_string(header.UsedBytes) + ", expected " + std::to_string(used));
      }
      remaining -= used;
      if (n == expected) {
        if (header.NextBlock != 0) Fault(block + " is the last but links to " + std::to_string(header.NextBlock));
        return;
      }
      if (header.NextBlock == 0) {
        Fault(where + ": chain ends after " + std::to_string(n) + " of " + std::to_string(expected) + " blocks");
        return;
      }
      if (!file_.IsBlockOffset(header.NextBlock)) {
        Fault(block + " links to " + std::to_string(header.NextBlock) + ", not a block of the file");
        return;
      }
      prior = at;
      at = header.NextBlock;
      if (!Read(at, header)) return;
    }
  }

  void CheckLostBlocks() {
    const int32_t size = file_.BlockSize();
    int32_t lost = 0;
    int32_t firstLost = 0;
    for (int64_t at = kBlobHeaderSize; at < file_.EndOfBlocks(); at += size) {
      if (claims_.count(int32_t(at))) continue;
      if (lost++ == 0) firstLost = int32_t(at);
    }
    if (lost > 0) {
      Fault(std::to_string(lost) + " block(s) neither free nor in a blob, the first at " + std::to_string(firstLost));
    }
  }

  TBlobFile& file_;
  TBlobCheckOptions options_;
  std::vector<std::string> faults_;
  std::unordered_map<int32_t, std::string> claims_;  // block -> where it was met
};

}  // namespace

std::vector<std::string> CheckBlobFile(TBlobFile& file, const std::vector<TBlobReference>& references,
                                       const TBlobCheckOptions& options) {
  return TChecker(file, options).Run(references);
}

}  // namespace tabula
