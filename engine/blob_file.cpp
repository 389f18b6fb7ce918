#include "engine/blob_file.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <unordered_set>

#include "tabula/engine_error.h"

namespace tabula {


namespace {

// How often a walk over a blob's blocks starts over because taking the read
// lock found the table changed, before the blob file gives up.
constexpr int kMaxRestarts = 64;

const char* const kRecursivePointerText = "Recursive intra-block pointer in BLOB file for physical record # ";
const char* const kInvalidPointerText = "Invalid intra-block pointer in BLOB file for physical record # ";
const char* const kForeignBlobText = "Foreign first block in BLOB file for physical record # ";
const char* const kSharedBlobText = "Blob chain shared by two fields in BLOB file for physical record # ";
const char* const kErrorFixedText = "error fixed";
const char* const kNotReadText = "blob not read";

TBlobFileOwner& DefaultOwner() {
  static TBlobFileOwner owner;
  return owner;
}

// A pinned block released when the holder goes out of scope.
class TPin {
 public:
  explicit TPin(TBlobFile& file, TBlock* block = nullptr) : file_(file), block_(block) {}
  ~TPin() { Reset(); }
  TPin(const TPin&) = delete;
  TPin& operator=(const TPin&) = delete;

  TBlock* Get() const { return block_; }
  TBlock* operator->() const { return block_; }
  explicit operator bool() const { return block_ != nullptr; }
  // Releases the held block and holds another.
  void Reset(TBlock* block = nullptr) {
    if (block_) file_.ReleaseBlock(block_);
    block_ = block;
  }
  // Gives up the block without releasing it.
  TBlock* Take() {
    TBlock* b = block_;
    block_ = nullptr;
    return b;
  }

 private:
  TBlobFile& file_;
  TBlock* block_;
};

}  // namespace

std::array<uint8_t, kBlobHeaderSize> EmptyBlobHeader() {
  std::array<uint8_t, kBlobHeaderSize> header{};
  header[kBhFormatVersion] = kBlobFormatVersion;
  StoreI32(header.data() + kBhEndOfBlocks, kBlobHeaderSize);
  return header;
}

void CreateBlobFile(const std::string& fileName, bool inMemory) {
  TFileHandler file;
  file.SetInMemory(inMemory);
  file.SetExclusive(true);
  file.SetFileName(fileName);
  file.CreateNewFile();
  auto header = EmptyBlobHeader();
  try {
    file.WriteBytes(header.data(), kBlobHeaderSize);
  } catch (...) {
    file.CloseFile();
    throw;
  }
  file.CloseFile();
}

// ---------------------------------------------------------------------------
// Life cycle

TBlobFile::TBlobFile(TBlobFileOwner* owner) : owner_(owner) { header_ = EmptyBlobHeader(); }

TBlobFile::~TBlobFile() { CloseFile(); }

void TBlobFile::SetOwner(TBlobFileOwner* owner) { owner_ = owner; }

void TBlobFile::SetBlockSize(uint32_t blobBlockSize) {
  int32_t size = int32_t(blobBlockSize & 0xFFFF);
  if (size == 0) size = kDefaultBlobBlockSize;
  if (size == blockSize_) return;
  if (IsOpen()) RaiseFileError(kErrInUse);
  blockSize_ = size;
}

int32_t TBlobFile::BlocksFor(int64_t length) const {
  if (length <= 0 || DataBytesPerBlock() <= 0) return 0;
  return int32_t((length + DataBytesPerBlock() - 1) / DataBytesPerBlock());
}

std::string TBlobFile::ResolveName(const std::string& name) {
  size_t first = name.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  size_t last = name.find_last_not_of(' ');
  std::string trimmed = name.substr(first, last - first + 1);
  size_t separator = trimmed.find_last_of("/\\");
  size_t dot = trimmed.find_last_of('.');
  bool hasExtension = dot != std::string::npos && (separator == std::string::npos || dot > separator);
  if (hasExtension) {
    std::string extension = trimmed.substr(dot + 1);
    std::string upper = extension;
    for (char& c : upper) {
      if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    }
    if (upper == "BLB") return trimmed;
    return trimmed.substr(0, dot) + ".BLB";
  }
  return trimmed + ".BLB";
}

void TBlobFile::CloseFile() {
  openBlobs_.clear();
  DropCache();
  // Closing the file frees its byte-range locks.
  readLock_.Reset();
  writeLock_.Reset();
  headerModified_ = false;
  TFileHandler::CloseFile();
}

void TBlobFile::Open() {
  if (IsOpen()) return;
  if (DataBytesPerBlock() <= 0) RaiseFileError(kErrBlobFieldsOrBlockSize);
  OpenFile();
  try {
    ReadHeader();
    if (FormatVersion() != kBlobFormatVersion) RaiseFileError(kErrVersion);
    int64_t end = EndOfBlocks();
    if (end < kBlobHeaderSize || (end - kBlobHeaderSize) % blockSize_ != 0) RaiseFileError(kErrHeaderCorrupt);
    // Blocks are written before the header that counts them, so the file
    // always reaches EndOfBlocks; a header that points past it is damaged.
    if (end > QueryFileSize()) RaiseFileError(kErrHeaderCorrupt);
    cacheCapacity_ = std::min(262140 / blockSize_, 4096);
    openingCapacity_ = cacheCapacity_;
    readAheadLimit_ = std::max(65535 / blockSize_, 1);
    stats_ = TBlobStats{};
    ResetStats();
  } catch (...) {
    CloseFile();
    throw;
  }
}

void TBlobFile::Close() { CloseFile(); }

void TBlobFile::CreateNewFile() {
  if (DataBytesPerBlock() <= 0) RaiseFileError(kErrBlobFieldsOrBlockSize);
  TFileHandler::CreateNewFile();
  try {
    header_ = EmptyBlobHeader();
    fileBlocksEnd_ = kBlobHeaderSize;
    auto stored = header_;
    if (Enciphered()) Owner().BlobScramble(stored.data(), kBlobHeaderSize);
    WriteBytes(stored.data(), kBlobHeaderSize);
    headerModified_ = false;
    cacheCapacity_ = std::min(262140 / blockSize_, 4096);
    openingCapacity_ = cacheCapacity_;
    readAheadLimit_ = std::max(65535 / blockSize_, 1);
    stats_ = TBlobStats{};
  } catch (...) {
    CloseFile();
    throw;
  }
}

TBlobFileOwner& TBlobFile::Owner() const { return owner_ ? *owner_ : DefaultOwner(); }

bool TBlobFile::Enciphered() const { return Owner().BlobEnciphered(); }

bool TBlobFile::TableLockedOrExclusive() const { return Exclusive() || Owner().BlobTableLocked(); }

// ---------------------------------------------------------------------------
// Header

uint32_t TBlobFile::ChangeCounter() const { return LoadU32(header_.data() + kBhChangeCounter); }
uint8_t TBlobFile::FormatVersion() const { return header_[kBhFormatVersion]; }
int32_t TBlobFile::FirstFreeBlock() const { return LoadI32(header_.data() + kBhFirstFreeBlock); }
int32_t TBlobFile::EndOfBlocks() const { return LoadI32(header_.data() + kBhEndOfBlocks); }

void TBlobFile::SetChangeCounter(uint32_t value) { StoreU32(header_.data() + kBhChangeCounter, value); }

void TBlobFile::SetFirstFreeBlock(int32_t value) {
  if (value == FirstFreeBlock()) return;
  StoreI32(header_.data() + kBhFirstFreeBlock, value);
  headerModified_ = true;
}

void TBlobFile::SetEndOfBlocks(int32_t value) {
  if (value == EndOfBlocks()) return;
  StoreI32(header_.data() + kBhEndOfBlocks, value);
  headerModified_ = true;
}

void TBlobFile::ReadHeader() {
  std::array<uint8_t, kBlobHeaderSize> bytes{};
  ReadAt(0, bytes.data(), kBlobHeaderSize, false);
  if (Enciphered()) Owner().BlobScramble(bytes.data(), kBlobHeaderSize);
  header_ = bytes;
  headerModified_ = false;
  fileBlocksEnd_ = EndOfBlocks();
}

void TBlobFile::WriteHeader(bool force) {
  if (!IsOpen() || ReadOnly()) return;
  if (!force && !headerModified_) return;
  SetChangeCounter(ChangeCounter() + 1);
  header_[kBhModifiedFlag] = headerModified_ ? 1 : 0;
  auto stored = header_;
  if (Enciphered()) Owner().BlobScramble(stored.data(), kBlobHeaderSize);
  if (SeekFile(0, kSeekStart) != 0) RaiseFileError(kErrWrite);
  WriteBytes(stored.data(), kBlobHeaderSize);
  headerModified_ = false;
}

bool TBlobFile::HeaderChanged() {
  uint8_t counter[4];
  ReadAt(0, counter, 4, false);
  if (Enciphered()) Owner().BlobScramble(counter, 4);
  if (LoadU32(counter) == ChangeCounter()) return false;
  ReadHeader();
  return true;
}

// ---------------------------------------------------------------------------
// Block cache

bool TBlobFile::IsBlockOffset(int64_t offset) const {
  return offset >= kBlobHeaderSize && offset < EndOfBlocks() && (offset - kBlobHeaderSize) % blockSize_ == 0;
}

TBlock* TBlobFile::FindCached(int32_t offset) {
  auto it = cacheIndex_.find(offset);
  return it == cacheIndex_.end() ? nullptr : &*it->second;
}

void TBlobFile::MoveToFront(TBlock& block) {
  auto it = cacheIndex_.find(block.offset_);
  if (it != cacheIndex_.end()) cache_.splice(cache_.begin(), cache_, it->second);
}

void TBlobFile::Pin(TBlock& block) {
  if (block.pinCount_ >= kMaxBlockPins) RaiseFileError(kErrBlobBuffersCorrupt);
  ++block.pinCount_;
}

void TBlobFile::ReleaseBlock(TBlock* block) {
  if (block && block->pinCount_ > 0) --block->pinCount_;
}

TBlock& TBlobFile::FreeCacheEntry() {
  if (int32_t(cache_.size()) < cacheCapacity_) {
    cache_.emplace_front(this, DataBytesPerBlock());
    return cache_.front();
  }
  auto findVictim = [this]() -> TCache::iterator {
    for (auto it = cache_.end(); it != cache_.begin();) {
      --it;
      if (!it->modified_ && it->pinCount_ == 0 && !it->marked_) return it;
    }
    return cache_.end();
  };
  auto victim = findVictim();
  if (victim == cache_.end() && !Owner().BlobTableLocked()) {
    FlushBlocks();
    victim = findVictim();
  }
  if (victim != cache_.end()) {
    if (victim->offset_ != 0) cacheIndex_.erase(victim->offset_);
    victim->Clear();
    cache_.splice(cache_.begin(), cache_, victim);
    return cache_.front();
  }
  if (Owner().BlobTableLocked()) {
    cacheCapacity_ += 256;
    cache_.emplace_front(this, DataBytesPerBlock());
    return cache_.front();
  }
  RaiseFileError(kErrBlobBuffersCorrupt);
}

void TBlobFile::ReadBlockSpan(int32_t offset, int32_t count) {
  const int64_t spanBytes = int64_t(count) * blockSize_;
  for (int32_t i = 0; i < count; ++i) {
    if (TBlock* cached = FindCached(offset + i * blockSize_)) cached->marked_ = true;
  }
  // The marks go whatever happens, or the marked blocks could never be
  // written or evicted again.
  struct TUnmark {
    TBlobFile& file;
    int32_t offset, count;
    ~TUnmark() {
      for (int32_t i = 0; i < count; ++i) {
        if (TBlock* cached = file.FindCached(offset + i * file.blockSize_)) cached->marked_ = false;
      }
    }
  } unmark{*this, offset, count};
  std::vector<uint8_t> bytes(size_t(spanBytes), 0);
  ReadAt(offset, bytes.data(), int32_t(spanBytes), TableLockedOrExclusive());
  ++stats_.BlockReads;
  stats_.BlocksRead += uint64_t(count);
  const bool enciphered = Enciphered();
  // From the far end back to the block asked for, so that it ends up at the
  // front of the cache with the blocks after it right behind.
  for (int32_t i = count - 1; i >= 0; --i) {
    int32_t at = offset + i * blockSize_;
    uint8_t* headerBytes = bytes.data() + size_t(i) * size_t(blockSize_);
    uint8_t* dataBytes = headerBytes + kBlobBlockHeaderSize;
    if (enciphered) {
      Owner().BlobScramble(headerBytes, kBlobBlockHeaderSize);
      Owner().BlobScramble(dataBytes, DataBytesPerBlock());
    }
    if (TBlock* cached = FindCached(at)) {
      if (cached->pinCount_ == 0 && !cached->modified_) cached->Fill(headerBytes, dataBytes);
      MoveToFront(*cached);
    } else {
      TBlock& entry = FreeCacheEntry();
      entry.offset_ = at;
      entry.marked_ = true;
      cacheIndex_[at] = cache_.begin();
      entry.Fill(headerBytes, dataBytes);
    }
  }
}

bool TBlobFile::GetBlock(int32_t offset, bool readAhead, int32_t wanted, TBlock*& block) {
  block = nullptr;
  if (offset == 0) return false;
  ++stats_.BlockRequests;
  if (offset == EndOfBlocks()) {
    if (EndOfBlocks() > kBlobFileLimit) RaiseFileError(kErrFileFull);
    TBlock& entry = FreeCacheEntry();
    entry.offset_ = offset;
    // A new block is always written, so the file never ends short of
    // EndOfBlocks.
    entry.modified_ = true;
    cacheIndex_[offset] = cache_.begin();
    Pin(entry);
    SetEndOfBlocks(EndOfBlocks() + blockSize_);
    block = &entry;
    return true;
  }
  if (!IsBlockOffset(offset)) RaiseFileError(kErrBlobBuffersCorrupt);
  if (TBlock* cached = FindCached(offset)) {
    Pin(*cached);
    MoveToFront(*cached);
    block = cached;
    return true;
  }
  if (!Owner().BlobStrictChangeDetection() && Owner().BlobTakeReadLock()) return false;
  // The read lock may have re-read the header: the offset must still be a block.
  if (!IsBlockOffset(offset)) RaiseFileError(kErrBlobBuffersCorrupt);
  int32_t count = 1;
  if (readAhead) {
    int64_t toEnd = (std::min<int64_t>(EndOfBlocks(), fileBlocksEnd_) - offset) / blockSize_;
    count = int32_t(std::min<int64_t>({int64_t(readAheadLimit_), int64_t(std::max(wanted, 1)), toEnd}));
    count = std::max(count, 1);
  }
  ReadBlockSpan(offset, count);
  TBlock* entry = FindCached(offset);
  if (!entry) RaiseFileError(kErrBlobBuffersCorrupt);
  Pin(*entry);
  block = entry;
  return true;
}

TBlock* TBlobFile::AllocateBlock() {
  TBlock* block = nullptr;
  for (int restarts = 0;; ++restarts) {
    if (restarts > kMaxRestarts) RaiseFileError(kErrBlobBuffersCorrupt);
    int32_t firstFree = FirstFreeBlock();
    if (firstFree == 0) {
      GetBlock(EndOfBlocks(), false, 1, block);
      break;
    }
    // A free chain pointing outside the file, or at a block in use, is
    // damage: refuse rather than hand out a block twice.
    if (!IsBlockOffset(firstFree)) RaiseFileError(kErrBlobBuffersCorrupt);
    if (!GetBlock(firstFree, false, 1, block)) continue;
    if (FirstFreeBlock() != firstFree) {  // the header was re-read meanwhile
      ReleaseBlock(block);
      continue;
    }
    int32_t next = block->NextBlock();
    if (block->PinCount() > 1 || next == firstFree || (next != 0 && !IsBlockOffset(next))) {
      ReleaseBlock(block);
      RaiseFileError(kErrBlobBuffersCorrupt);
    }
    SetFirstFreeBlock(next);
    break;
  }
  block->header_ = TBlockHeader{};
  std::fill(block->data_.begin(), block->data_.end(), uint8_t(0));
  return block;
}

void TBlobFile::FreeBlock(TBlock* block) {
  block->SetNextBlock(FirstFreeBlock());
  SetFirstFreeBlock(block->Offset());
}

void TBlobFile::FreeChain(TBlock* first, int32_t recordNo, int32_t blockCount) {
  TPin current(*this, first);
  std::unordered_set<int32_t> visited{first->Offset()};
  const int32_t limit = std::max(blockCount, 1);
  int32_t freed = 0;
  auto cut = [&](const char* text) {
    current->SetNextBlock(0);
    Owner().BlobMessage(std::string(text) + RecordText(recordNo) + ", " + kErrorFixedText);
  };
  for (;;) {
    int32_t next = current->NextBlock();
    if (next == 0) break;
    if (!IsBlockOffset(next)) {
      cut(kInvalidPointerText);
      break;
    }
    if (visited.count(next)) {
      cut(kRecursivePointerText);
      break;
    }
    if (freed + 1 >= limit) {
      // The chain goes on beyond the blob's length: into another chain.
      cut(kInvalidPointerText);
      break;
    }
    TBlock* nextBlock = nullptr;
    int restarts = 0;
    while (!GetBlock(next, true, std::max(limit - freed - 1, 1), nextBlock)) {
      if (++restarts > kMaxRestarts) RaiseFileError(kErrBlobBuffersCorrupt);
    }
    TPin nextPin(*this, nextBlock);
    if (nextBlock->PinCount() > 1) {
      cut(kRecursivePointerText);
      break;
    }
    if (nextBlock->OwnerRecord() != recordNo) {
      cut(kInvalidPointerText);
      break;
    }
    FreeBlock(current.Get());
    ++freed;
    visited.insert(next);
    current.Reset(nextPin.Take());
  }
  FreeBlock(current.Get());
}

bool TBlobFile::FlushBlocks() {
  if (!IsOpen() || ReadOnly()) return false;
  std::vector<TBlock*> dirty;
  for (TBlock& b : cache_) {
    if (b.modified_ && b.pinCount_ == 0 && !b.marked_ && b.offset_ != 0) dirty.push_back(&b);
  }
  if (dirty.empty()) return false;
  std::sort(dirty.begin(), dirty.end(), [](const TBlock* a, const TBlock* b) { return a->offset_ < b->offset_; });
  const bool enciphered = Enciphered();
  std::vector<uint8_t> run;
  size_t i = 0;
  while (i < dirty.size()) {
    size_t j = i + 1;
    while (j < dirty.size() && dirty[j]->offset_ == dirty[j - 1]->offset_ + blockSize_) ++j;
    run.assign(size_t(j - i) * size_t(blockSize_), 0);
    for (size_t k = i; k < j; ++k) {
      uint8_t* at = run.data() + (k - i) * size_t(blockSize_);
      dirty[k]->header_.Pack(at);
      std::memcpy(at + kBlobBlockHeaderSize, dirty[k]->data_.data(), dirty[k]->data_.size());
      if (enciphered) {
        Owner().BlobScramble(at, kBlobBlockHeaderSize);
        Owner().BlobScramble(at + kBlobBlockHeaderSize, DataBytesPerBlock());
      }
    }
    int32_t start = dirty[i]->offset_;
    if (SeekFile(start, kSeekStart) != start) RaiseFileError(kErrWrite);
    WriteBytes(run.data(), int32_t(run.size()));
    fileBlocksEnd_ = std::max<int64_t>(fileBlocksEnd_, int64_t(start) + int64_t(run.size()));
    for (size_t k = i; k < j; ++k) dirty[k]->modified_ = false;
    ++stats_.BlockWrites;
    stats_.BlocksWritten += uint64_t(j - i);
    i = j;
  }
  return true;
}

void TBlobFile::DiscardBlocks() {
  for (TBlock& b : cache_) b.Clear();
  cacheIndex_.clear();
}

void TBlobFile::UnpinBlocks() {
  for (TBlock& b : cache_) b.pinCount_ = 0;
}

void TBlobFile::TrimBlockBuffers() {
  cacheCapacity_ = openingCapacity_;
  auto it = cache_.end();
  while (int32_t(cache_.size()) > cacheCapacity_ && it != cache_.begin()) {
    --it;
    if (it->pinCount_ != 0 || it->modified_ || it->marked_) continue;
    if (it->offset_ != 0) cacheIndex_.erase(it->offset_);
    it = cache_.erase(it);
  }
}

void TBlobFile::FlushAll(bool forceHeader, bool trim) {
  if (!IsOpen() || ReadOnly()) return;
  FlushBlocks();
  WriteHeader(forceHeader);
  if (trim) TrimBlockBuffers();
}

void TBlobFile::DropCache() {
  cache_.clear();
  cacheIndex_.clear();
}

// ---------------------------------------------------------------------------
// Open blobs

TBlobBuffer* TBlobFile::Find(int32_t handle) {
  for (TBlobBuffer& b : openBlobs_) {
    if (b.Handle == handle) return &b;
  }
  return nullptr;
}

const TBlobBuffer* TBlobFile::FindBlob(int32_t handle) const {
  for (const TBlobBuffer& b : openBlobs_) {
    if (b.Handle == handle) return &b;
  }
  return nullptr;
}

bool TBlobFile::IsOpenBlob(int32_t handle) const { return handle > 0 && FindBlob(handle) != nullptr; }

int32_t TBlobFile::NextHandle() {
  // Handles count up and wrap, so a stale handle in some record buffer does
  // not name a blob opened later.
  for (;;) {
    lastHandle_ = lastHandle_ >= INT32_MAX - 1 ? 1 : lastHandle_ + 1;
    if (!FindBlob(lastHandle_)) return lastHandle_;
  }
}

std::string TBlobFile::RecordText(int32_t recordNo) const { return std::to_string(recordNo); }

void TBlobFile::SetBlobSize(TBlobBuffer& blob, int64_t size) {
  if (size == int64_t(blob.Data.size())) return;
  try {
    blob.Data.resize(size_t(size), 0);
  } catch (const std::bad_alloc&) {
    RaiseFileError(kErrOutOfMemory);
  }
  if (size == 0) blob.Data.shrink_to_fit();
  blob.Modified = true;
}

int TBlobFile::OpenBlob(int32_t reference, int fieldNo, int32_t recordNo, int mode, int32_t& handle,
                        TBlobSharing sharing) {
  handle = 0;
  if (int32_t(openBlobs_.size()) >= kMaxOpenBlobs) return kErrTooManyBlobs;
  TBlobBuffer blob;
  blob.Handle = NextHandle();
  blob.FieldNo = fieldNo;
  blob.RecordNo = recordNo;
  blob.Reference = reference;
  blob.Mode = mode;
  if (reference != 0 && sharing != TBlobSharing::kNone) {
    // Two fields of one record name the same chain: at most one of them can
    // be its owner, and nothing tells which. Neither is read or written;
    // deleting the record frees the chain once (through the first field).
    if (mode != kBlobModeRead) RaiseFileError(kErrBlobBuffersCorrupt);
    if (sharing == TBlobSharing::kFirst) LoadBlob(blob);
    blob.Data.clear();
    blob.Modified = false;
    blob.ForeignFirstBlock = blob.ForeignFirstBlock || sharing == TBlobSharing::kLater;
    blob.LoadFault = kErrBlobBuffersCorrupt;
    Owner().BlobMessage(std::string(kSharedBlobText) + RecordText(recordNo) + ", " + kNotReadText);
  } else if (reference != 0) {
    LoadBlob(blob);
  }
  openBlobs_.push_back(std::move(blob));
  handle = openBlobs_.back().Handle;
  return 0;
}

void TBlobFile::LoadBlob(TBlobBuffer& blob) {
  const int32_t dataBytes = DataBytesPerBlock();
  auto foreign = [&]() {
    // Another record's chain (or no chain at all) behind the reference:
    // reading it is an error (8963), never another record's bytes or an
    // empty text; deleting the record drops the reference and frees
    // nothing, since the chain is not this record's. The table's message
    // callback hears of it.
    blob.Data.clear();
    blob.ForeignFirstBlock = true;
    blob.Modified = false;
    blob.LoadFault = kErrBlobBuffersCorrupt;
    Owner().BlobMessage(std::string(kForeignBlobText) + RecordText(blob.RecordNo) + ", " + kNotReadText);
  };
  // A damaged chain: an error for a blob opened for writing; opened for
  // reading, the error waits for the first read so that the record can
  // still be deleted (which frees the chain with its repairs).
  auto fault = [&](uint16_t code) {
    if (blob.Mode != kBlobModeRead) RaiseFileError(code);
    blob.Data.clear();
    blob.Data.shrink_to_fit();
    blob.Modified = false;
    blob.LoadFault = code;
  };
  for (int restarts = 0;; ++restarts) {
    if (restarts > kMaxRestarts) RaiseFileError(kErrBlobBuffersCorrupt);
    if (!IsBlockOffset(blob.Reference)) {
      if (blob.Mode == kBlobModeRead) return foreign();
      RaiseFileError(kErrBlobBuffersCorrupt);
    }
    TBlock* firstBlock = nullptr;
    if (!GetBlock(blob.Reference, false, 1, firstBlock)) continue;
    TPin current(*this, firstBlock);
    if (current->OwnerRecord() != blob.RecordNo) {
      current.Reset();
      if (blob.Mode == kBlobModeRead) return foreign();
      RaiseFileError(kErrBlobBuffersCorrupt);
    }
    // A first block is the start of its chain; a reference into the middle
    // of a chain is damaged.
    if (current->PinCount() > 1 || current->PriorBlock() != 0) return fault(kErrBlobBuffersCorrupt);
    const int64_t length = current->BlobLength();
    // No chain in this file can hold more than all its blocks do.
    const int64_t fileCapacity = (int64_t(EndOfBlocks()) - kBlobHeaderSize) / blockSize_ * dataBytes;
    if (length < 0 || length > fileCapacity) return fault(kErrEndOfBlob);
    try {
      blob.Data.assign(size_t(length), 0);
    } catch (const std::bad_alloc&) {
      RaiseFileError(kErrOutOfMemory);
    }
    std::unordered_set<int32_t> visited{blob.Reference};
    int64_t copied = 0;
    bool changed = false;
    uint16_t chainFault = 0;
    for (;;) {
      int64_t take = std::min<int64_t>(dataBytes, length - copied);
      int64_t available = std::min<int64_t>(take, current->UsedBytes());
      if (available > 0) std::memcpy(blob.Data.data() + copied, current->Data(), size_t(available));
      copied += available;
      int64_t missing = length - copied;
      if (available < take || missing == 0) break;
      int32_t next = current->NextBlock();
      if (next == 0) break;
      if (!IsBlockOffset(next) || visited.count(next)) {
        chainFault = kErrBlobBuffersCorrupt;
        break;
      }
      visited.insert(next);
      TBlock* nextBlock = nullptr;
      if (!GetBlock(next, true, BlocksFor(missing), nextBlock)) {
        changed = true;
        break;
      }
      TPin nextPin(*this, nextBlock);
      // Pinned by another holder too (the chain points back into itself), or
      // a block of another record: the chain is damaged.
      if (nextBlock->PinCount() > 1 || nextBlock->OwnerRecord() != blob.RecordNo) {
        chainFault = kErrBlobBuffersCorrupt;
        break;
      }
      current.Reset(nextPin.Take());
    }
    if (changed) continue;
    current.Reset();
    if (chainFault) return fault(chainFault);
    if (copied < length) return fault(kErrEndOfBlob);
    blob.Modified = false;
    blob.ForeignFirstBlock = false;
    blob.LoadFault = 0;
    return;
  }
}

int TBlobFile::FreeBlob(int32_t handle, int32_t& reference) {
  reference = 0;
  for (auto it = openBlobs_.begin(); it != openBlobs_.end(); ++it) {
    if (it->Handle == handle) {
      reference = it->Reference;
      openBlobs_.erase(it);
      return 0;
    }
  }
  return kErrBlobHandle;
}

int TBlobFile::ReadBlob(int32_t handle, int32_t offset, int32_t length, void* dest, int32_t& bytesCopied) {
  bytesCopied = 0;
  TBlobBuffer* blob = Find(handle);
  if (!blob) return kErrBlobHandle;
  if (blob->LoadFault) return blob->LoadFault;
  if (offset < 0 || length < 0) return kErrBlobLength;
  const int64_t size = int64_t(blob->Data.size());
  if (int64_t(offset) + length <= size) {
    if (length > 0) std::memcpy(dest, blob->Data.data() + offset, size_t(length));
    bytesCopied = length;
    return 0;
  }
  if (offset < size) {
    bytesCopied = int32_t(size - offset);
    std::memcpy(dest, blob->Data.data() + offset, size_t(bytesCopied));
  }
  return kErrEndOfBlob;
}

int TBlobFile::WriteBlob(int32_t handle, int32_t offset, int32_t length, const void* source) {
  TBlobBuffer* blob = Find(handle);
  if (!blob) return kErrBlobHandle;
  if (offset < 0 || length < 0 || int64_t(offset) + length > INT32_MAX) return kErrBlobLength;
  const int64_t end = int64_t(offset) + length;
  if (end > int64_t(blob->Data.size())) SetBlobSize(*blob, end);
  if (length > 0) {
    std::memcpy(blob->Data.data() + offset, source, size_t(length));
    // Bytes changed inside the old size must reach the file as well.
    blob->Modified = true;
  }
  return 0;
}

int TBlobFile::TruncateBlob(int32_t handle, int32_t newSize) {
  TBlobBuffer* blob = Find(handle);
  if (!blob) return kErrBlobHandle;
  if (newSize < 0) return kErrBlobLength;
  SetBlobSize(*blob, newSize);
  // Emptying a stored blob frees its chain even when it loaded as empty (a
  // stored length of 0, or a damaged chain being deleted).
  if (newSize == 0 && blob->Reference != 0) blob->Modified = true;
  return 0;
}

int TBlobFile::GetBlobSize(int32_t handle, int32_t& size) {
  size = 0;
  TBlobBuffer* blob = Find(handle);
  if (!blob) return kErrBlobHandle;
  if (blob->LoadFault) return blob->LoadFault;
  size = int32_t(blob->Data.size());
  return 0;
}

void TBlobFile::SetBlobRecord(int32_t recordNo) {
  for (TBlobBuffer& b : openBlobs_) b.RecordNo = recordNo;
}

void TBlobFile::PutBlobReferences(int descriptorSet, uint8_t* recordBuffer) {
  for (const TBlobBuffer& b : openBlobs_) Owner().BlobStoreReference(descriptorSet, b.FieldNo, b.Reference, recordBuffer);
}

void TBlobFile::StoreBlobs() {
  bool any = false;
  int32_t recordNo = 0;
  for (const TBlobBuffer& b : openBlobs_) {
    if (!b.Modified) continue;
    if (any && b.RecordNo != recordNo) RaiseFileError(kErrBlobBuffersCorrupt);
    any = true;
    recordNo = b.RecordNo;
  }
  if (!any) return;
  if (ReadOnly()) RaiseFileError(kErrAccessDenied);
  for (TBlobBuffer& b : openBlobs_) {
    if (b.Modified) StoreBlob(b);
  }
}

void TBlobFile::StoreBlob(TBlobBuffer& blob) {
  const int32_t dataBytes = DataBytesPerBlock();
  const int64_t size = int64_t(blob.Data.size());
  auto getBlock = [&](int32_t offset, bool readAhead, int32_t wanted) {
    TBlock* block = nullptr;
    int restarts = 0;
    while (!GetBlock(offset, readAhead, wanted, block)) {
      if (++restarts > kMaxRestarts) RaiseFileError(kErrBlobBuffersCorrupt);
    }
    return block;
  };

  if (size == 0) {
    if (blob.Reference != 0 && !blob.ForeignFirstBlock) {
      if (!IsBlockOffset(blob.Reference)) RaiseFileError(kErrBlobBuffersCorrupt);
      TPin first(*this, getBlock(blob.Reference, false, 1));
      // Never free another record's chain.
      if (first->OwnerRecord() != blob.RecordNo) RaiseFileError(kErrBlobBuffersCorrupt);
      int32_t count = BlocksFor(first->BlobLength());
      FreeChain(first.Take(), blob.RecordNo, count);
    }
    // A foreign chain is left to its owner; only the reference goes.
    blob.Reference = 0;
    blob.ForeignFirstBlock = false;
    blob.LoadFault = 0;
    blob.Modified = false;
    return;
  }

  // Nothing is written over another record's chain or a damaged one; such
  // a blob can only be emptied.
  if (blob.ForeignFirstBlock || blob.LoadFault) RaiseFileError(kErrBlobBuffersCorrupt);
  const int32_t needed = BlocksFor(size);
  TPin current(*this);
  int32_t oldBlocks = 0;
  if (blob.Reference != 0) {
    if (!IsBlockOffset(blob.Reference)) RaiseFileError(kErrBlobBuffersCorrupt);
    current.Reset(getBlock(blob.Reference, false, 1));
    if (current->OwnerRecord() != blob.RecordNo) RaiseFileError(kErrBlobBuffersCorrupt);
    oldBlocks = std::max(BlocksFor(current->BlobLength()), 1);
    // Make sure the new blocks fit before anything is changed.
    current.Reset();
    EnsureRoomFor(needed - oldBlocks);
    current.Reset(getBlock(blob.Reference, false, 1));
  } else {
    EnsureRoomFor(needed);
    current.Reset(AllocateBlock());
    blob.Reference = current->Offset();
    current->SetOwnerRecord(blob.RecordNo);
    current->SetPriorBlock(0);
  }
  current->SetBlobLength(int32_t(size));

  std::unordered_set<int32_t> used{current->Offset()};
  int64_t placed = 0;
  for (;;) {
    int64_t put = std::min<int64_t>(dataBytes, size - placed);
    if (put > dataBytes) RaiseFileError(kErrBlobLength);
    std::memcpy(current->MutableData(), blob.Data.data() + placed, size_t(put));
    if (put < dataBytes) std::memset(current->MutableData() + put, 0, size_t(dataBytes - put));
    current->SetUsedBytes(uint16_t(put));
    placed += put;
    if (placed == size) break;

    // Continue into the old chain where it is sound, else into a new block.
    TBlock* nextBlock = nullptr;
    int32_t next = current->NextBlock();
    if (next != 0) {
      if (IsBlockOffset(next) && !used.count(next)) {
        TPin candidate(*this, getBlock(next, true, BlocksFor(size - placed)));
        if (candidate->PinCount() == 1 && candidate->OwnerRecord() == blob.RecordNo) nextBlock = candidate.Take();
      }
      if (!nextBlock) {
        const char* text = used.count(next) ? kRecursivePointerText : kInvalidPointerText;
        Owner().BlobMessage(std::string(text) + RecordText(blob.RecordNo) + ", " + kErrorFixedText);
      }
    }
    if (!nextBlock) nextBlock = AllocateBlock();
    current->SetNextBlock(nextBlock->Offset());
    nextBlock->SetPriorBlock(current->Offset());
    nextBlock->SetOwnerRecord(blob.RecordNo);
    nextBlock->SetBlobLength(0);
    used.insert(nextBlock->Offset());
    current.Reset(nextBlock);
  }
  if (placed != size) RaiseFileError(kErrEndOfBlob);

  // The blob got shorter: the rest of the old chain goes to the free chain.
  int32_t rest = current->NextBlock();
  if (rest != 0) {
    current->SetNextBlock(0);
    const char* fault = nullptr;
    if (!IsBlockOffset(rest)) {
      fault = kInvalidPointerText;
    } else if (used.count(rest)) {
      fault = kRecursivePointerText;
    } else {
      TPin restFirst(*this, getBlock(rest, true, std::max(oldBlocks - needed, 1)));
      if (restFirst->PinCount() > 1) {
        fault = kRecursivePointerText;
      } else if (restFirst->OwnerRecord() != blob.RecordNo) {
        fault = kInvalidPointerText;
      } else {
        FreeChain(restFirst.Take(), blob.RecordNo, std::max(oldBlocks - needed, 1));
      }
    }
    if (fault) Owner().BlobMessage(std::string(fault) + RecordText(blob.RecordNo) + ", " + kErrorFixedText);
  }
  current.Reset();
  blob.Modified = false;
}

void TBlobFile::EnsureRoomFor(int32_t extraBlocks) {
  if (extraBlocks <= 0) return;
  int32_t free = 0;
  std::unordered_set<int32_t> seen;
  int32_t at = FirstFreeBlock();
  while (at != 0 && free < extraBlocks && IsBlockOffset(at) && !seen.count(at)) {
    seen.insert(at);
    TBlock* block = nullptr;
    if (!GetBlock(at, true, extraBlocks - free, block)) break;
    ++free;
    at = block->NextBlock();
    ReleaseBlock(block);
  }
  int64_t appended = extraBlocks - free;
  if (appended > 0 && int64_t(EndOfBlocks()) + (appended - 1) * blockSize_ > kBlobFileLimit) {
    RaiseFileError(kErrFileFull);
  }
}

// ---------------------------------------------------------------------------
// Locks

bool TBlobFile::LockRead() {
  if (Exclusive() || ReadOnlyByAttribute()) return true;
  return readLock_.Lock(*this);
}

bool TBlobFile::UnlockRead() {
  if (Exclusive() || ReadOnlyByAttribute()) return true;
  return readLock_.Unlock(*this);
}

bool TBlobFile::LockWrite() {
  if (Exclusive() || ReadOnlyByAttribute()) return true;
  return writeLock_.Lock(*this);
}

bool TBlobFile::UnlockWrite() {
  if (Exclusive() || ReadOnlyByAttribute()) return true;
  return writeLock_.Unlock(*this);
}

}  // namespace tabula
