#pragma once
// TBlobFile: the blob file (.BLB) of a table. Memo, graphic and binary
// fields keep only a 4-byte reference in the record: the offset of the
// blob's first block in this file. A blob is a chain of fixed-size blocks;
// freed blocks form a free chain that later blobs reuse, last freed first.
//
// The table's data file owns one TBlobFile and opens and closes it with
// itself. The blob file caches blocks (TBlock, most recently used first, with
// read-ahead) and keeps the blobs that are open for reading or writing, each
// read whole into memory when opened and written back whole when its record
// is stored (StoreBlobs).
//
// The blob file knows its table only through TBlobFileOwner, so the engine's
// data file can wire it in without this file knowing the data file.
//
// Result codes: the blob operations return 0 or an engine error code, which
// the data file raises; everything else raises engine errors itself.

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/blob_block.h"
#include "tabula/blob_modes.h"
#include "tabula/file_handler.h"
#include "engine/lock_table.h"

namespace tabula {

inline constexpr int32_t kMaxOpenBlobs = 64;
// Whether another blob field of the record names the same chain (OpenBlob).
enum class TBlobSharing { kNone, kFirst, kLater };

// What the blob file needs of its table. The data file implements it; the
// defaults suit a blob file used on its own (tools, tests).
class TBlobFileOwner {
 public:
  virtual ~TBlobFileOwner() = default;

  // The table lock (a transaction) is held by this handle: a short block read
  // is accepted, the cache grows instead of writing blocks to make room.
  virtual bool BlobTableLocked() const { return false; }
  // Strict change detection is on: the caller took the read lock already.
  virtual bool BlobStrictChangeDetection() const { return false; }
  // Takes the table's read lock when it is not held (index shared lock, blob
  // shared lock, change check). Returns true when that found the table
  // changed by another program; the blob file then starts its walk over.
  virtual bool BlobTakeReadLock() { return false; }
  // The table's message callback: chain repairs and foreign blobs are
  // reported here, not raised.
  virtual void BlobMessage(const std::string& text) { (void)text; }
  // Stores a first-block offset into a blob field of a record buffer through
  // the data file's SetField (PutBlobReferences). descriptorSet is passed
  // through unchanged (the data file's working or file set).
  virtual void BlobStoreReference(int descriptorSet, int fieldNo, int32_t reference, uint8_t* recordBuffer) {
    (void)descriptorSet, (void)fieldNo, (void)reference, (void)recordBuffer;
  }
  // Enciphered tables: the header is scrambled as one 512-byte unit, a block
  // header and a block's data each on their own. Scrambling is its own
  // inverse, so one call serves both directions.
  virtual bool BlobEnciphered() const { return false; }
  virtual void BlobScramble(uint8_t* bytes, int32_t count) { (void)bytes, (void)count; }
};

// One open blob; its handle is a small positive number (a record buffer
// holds the negated handle while the blob is open).
struct TBlobBuffer {
  int32_t Handle = 0;
  bool Modified = false;
  int32_t RecordNo = 0;
  int FieldNo = 0;
  int32_t Reference = 0;  // the stored first-block offset
  int Mode = kBlobModeRead;
  // The reference names no block of this record (another record's first
  // block, or no block at all); the blob was opened for reading or deleting
  // and cannot be read (LoadFault). That chain is never freed through it.
  bool ForeignFirstBlock = false;
  // A damaged chain met while loading a blob opened for reading: the blob
  // holds nothing, reading it returns this code (8963 or 8711), and deleting
  // it frees the chain with its repairs. 0 for a sound blob.
  int LoadFault = 0;
  std::vector<uint8_t> Data;
};

// Counters since the file was opened.
struct TBlobStats {
  uint64_t BlockRequests = 0;  // GetBlock calls with a nonzero offset
  uint64_t BlockReads = 0;     // file reads of one or more blocks
  uint64_t BlocksRead = 0;     // blocks those reads brought in
  uint64_t BlockWrites = 0;    // file writes of a run of blocks
  uint64_t BlocksWritten = 0;
};

// The 512 header bytes of an empty blob file: FormatVersion 3, no free
// block, EndOfBlocks 512, everything else 0.
std::array<uint8_t, kBlobHeaderSize> EmptyBlobHeader();

// Creates an empty blob file under exactly this name (no extension is
// added), replacing any file of that name; in the session's in-memory store
// when inMemory is set. Table creation calls it.
void CreateBlobFile(const std::string& fileName, bool inMemory = false);

class TBlobFile : public TFileHandler {
 public:
  explicit TBlobFile(TBlobFileOwner* owner = nullptr);
  ~TBlobFile() override;

  // The table this file belongs to; null gives the defaults of
  // TBlobFileOwner. May be changed while closed.
  void SetOwner(TBlobFileOwner* owner);
  // The data header's BlobBlockSize (0 means 512; only the low 16 bits
  // count). 10031 while open; Open raises 9498 for a size that leaves no
  // data bytes.
  void SetBlockSize(uint32_t blobBlockSize);
  int32_t BlockSize() const { return blockSize_; }
  int32_t DataBytesPerBlock() const { return blockSize_ - kBlobBlockHeaderSize; }
  // Blocks a blob of `length` bytes occupies.
  int32_t BlocksFor(int64_t length) const;

  // The name without surrounding blanks, its extension replaced by ".BLB"
  // unless it is "BLB" in any letter case already.
  std::string ResolveName(const std::string& name) override;
  // Closing the file drops the cache and the open blobs without writing.
  void CloseFile() override;

  // Opens the file (the mode settings of TFileHandler apply), reads the
  // header and sizes the cache. 12035 for a FormatVersion other than 3,
  // 8961 for an EndOfBlocks that is not a block boundary.
  void Open();
  // Frees every open blob and every cached block (writing nothing) and
  // closes the file.
  void Close();
  // Creates the file under FileName with an empty header and opens it
  // (Exclusive must be set, as for every new file).
  void CreateNewFile() override;

  // Header.
  void ReadHeader();
  // Writes the header when forced or modified, incrementing ChangeCounter.
  // Nothing for a read-only file.
  void WriteHeader(bool force);
  // Whether another program wrote the header since it was read; when so the
  // header is read again. The caller then drops the blocks (DiscardBlocks).
  bool HeaderChanged();
  uint32_t ChangeCounter() const;
  uint8_t FormatVersion() const;
  int32_t FirstFreeBlock() const;
  int32_t EndOfBlocks() const;
  bool HeaderModified() const { return headerModified_; }
  const std::array<uint8_t, kBlobHeaderSize>& HeaderBytes() const { return header_; }

  // Blocks. GetBlock gives the pinned block at an offset: from the cache, or
  // read with up to `wanted` following blocks when readAhead is allowed; the
  // offset EndOfBlocks appends a new block (9479 beyond the file limit).
  // Returns false with no block for offset 0, and when taking the read lock
  // found the table changed (the caller starts over). An offset that is not a
  // block of this file raises 8963.
  bool GetBlock(int32_t offset, bool readAhead, int32_t wanted, TBlock*& block);
  void ReleaseBlock(TBlock* block);
  // A pinned, cleared block from the free chain or at the end of the file.
  TBlock* AllocateBlock();
  // Pushes the block on the free chain.
  void FreeBlock(TBlock* block);
  // Frees a blob's chain from its (pinned) first block, which it releases.
  // Chain faults are cut and reported through BlobMessage, never raised.
  void FreeChain(TBlock* first, int32_t recordNo, int32_t blockCount);
  // Writes modified, unpinned blocks in runs of adjacent blocks; whether
  // anything was written.
  bool FlushBlocks();
  // Forgets every cached block (unpinned, cleared, offset 0).
  void DiscardBlocks();
  void UnpinBlocks();
  // Cuts the cache back to its opening capacity.
  void TrimBlockBuffers();
  // The data file's FlushAll: dirty blocks, then the header (also when
  // forceHeader), then trimming when asked. Nothing for a read-only file.
  void FlushAll(bool forceHeader, bool trim);

  // Open blobs. Handles are positive; a record buffer holds them negated.
  // OpenBlob returns 9494 when 64 blobs are open; a blob that cannot be
  // loaded raises its error (8963, 8711) when opened for writing. Opened for
  // reading (and deleting), a damaged chain or a reference that names no
  // block of this record (outside the file, between blocks, another
  // record's first block, the last also reported through BlobMessage) is
  // kept as the blob's LoadFault, which GetBlobSize and ReadBlob return, so
  // reading fails while the record can still be deleted.
  // `sharing` says that another blob field of the same record holds the
  // same reference (kFirst: a later field, kLater: an earlier one): the
  // blob is then not read (LoadFault 8963), refused for writing, and only
  // the first field frees the chain when the record is deleted.
  int OpenBlob(int32_t reference, int fieldNo, int32_t recordNo, int mode, int32_t& handle,
               TBlobSharing sharing = TBlobSharing::kNone);
  int FreeBlob(int32_t handle, int32_t& reference);
  int ReadBlob(int32_t handle, int32_t offset, int32_t length, void* dest, int32_t& bytesCopied);
  int WriteBlob(int32_t handle, int32_t offset, int32_t length, const void* source);
  int TruncateBlob(int32_t handle, int32_t newSize);
  int GetBlobSize(int32_t handle, int32_t& size);
  bool IsOpenBlob(int32_t handle) const;
  int32_t OpenBlobCount() const { return int32_t(openBlobs_.size()); }
  // The open blob of a handle, or null.
  const TBlobBuffer* FindBlob(int32_t handle) const;
  // Gives every open blob this record number.
  void SetBlobRecord(int32_t recordNo);
  // Writes every modified open blob to its chain.
  void StoreBlobs();
  // Stores every open blob's first-block offset into its field of the record
  // buffer (TBlobFileOwner::BlobStoreReference).
  void PutBlobReferences(int descriptorSet, uint8_t* recordBuffer);

  // Locks: a reader's random byte, the writer's region. None are taken for
  // an exclusive file or one with the read-only attribute.
  bool LockRead();
  bool UnlockRead();
  bool LockWrite();
  bool UnlockWrite();
  bool ReadLockHeld() const { return readLock_.Held(); }
  bool WriteLockHeld() const { return writeLock_.Held(); }
  TSharedTableLock& ReadLockState() { return readLock_; }
  TExclusiveTableLock& WriteLockState() { return writeLock_; }

  // Cache and statistics.
  int32_t CacheCapacity() const { return cacheCapacity_; }
  int32_t CachedBlockCount() const { return int32_t(cache_.size()); }
  int32_t ReadAheadLimit() const { return readAheadLimit_; }
  const TBlobStats& BlobStats() const { return stats_; }

  // Whether an offset names a block of this file (a block boundary at or
  // after 512 and before EndOfBlocks).
  bool IsBlockOffset(int64_t offset) const;

 private:
  using TCache = std::list<TBlock>;

  TBlobFileOwner& Owner() const;
  bool Enciphered() const;
  bool TableLockedOrExclusive() const;

  void SetFirstFreeBlock(int32_t value);
  void SetEndOfBlocks(int32_t value);
  void SetChangeCounter(uint32_t value);

  // A free cache entry at the front of the list (eviction), 8963 when none.
  TBlock& FreeCacheEntry();
  TBlock* FindCached(int32_t offset);
  void MoveToFront(TBlock& block);
  void Pin(TBlock& block);
  void ReadBlockSpan(int32_t offset, int32_t count);
  void DropCache();

  TBlobBuffer* Find(int32_t handle);
  int32_t NextHandle();
  // Loads an open blob from its chain (OpenBlob with a nonzero reference).
  void LoadBlob(TBlobBuffer& blob);
  void StoreBlob(TBlobBuffer& blob);
  // 9479 when `extraBlocks` more blocks would not fit below the file limit,
  // counting the free chain first; raised before a store changes anything.
  void EnsureRoomFor(int32_t extraBlocks);
  void SetBlobSize(TBlobBuffer& blob, int64_t size);
  std::string RecordText(int32_t recordNo) const;

  TBlobFileOwner* owner_ = nullptr;
  int32_t blockSize_ = kDefaultBlobBlockSize;

  std::array<uint8_t, kBlobHeaderSize> header_{};
  bool headerModified_ = false;

  std::vector<TBlobBuffer> openBlobs_;  // in opening order
  int32_t lastHandle_ = 0;

  TCache cache_;  // most recently used first
  std::unordered_map<int32_t, TCache::iterator> cacheIndex_;  // offset -> entry
  int32_t cacheCapacity_ = 0;
  int32_t openingCapacity_ = 0;
  int32_t readAheadLimit_ = 0;
  // How far the blocks are known to be in the file: EndOfBlocks as last
  // read, or the end of the last run written beyond it. Read-ahead stops
  // there, so blocks appended in the cache and not yet written are never
  // asked of the file.
  int64_t fileBlocksEnd_ = kBlobHeaderSize;

  TSharedTableLock readLock_;
  TExclusiveTableLock writeLock_;
  TBlobStats stats_;
};

}  // namespace tabula
