#pragma once
// TDataFile: one open table. It is the file handler of the data file (.DAT:
// a 127-byte header, one 768-byte descriptor per field, then fixed-length
// record slots), owns the table's index file (.IDX) and, when the table has
// blob fields, its blob file (.BLB). It caches records with read-ahead in the
// direction of travel, reads and writes fields in record buffers, holds the
// table's read lock, write lock and record locks, and notices other writers
// through the change counters of the headers.
//
// It is also the engine cursor of the dataset layer: the cursor operations
// (declared below) are those of its cursor part, TTableCursor, which moves
// the index file's cursor and keeps the record it stands on as current.
//
// Record updates, the free-slot chain and transactions are those of its
// writer part, TTableWriter. Record filters hook into the index file's cursor.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tabula/blob_modes.h"
#include "tabula/data_header.h"
#include "tabula/field_desc.h"
#include "tabula/file_handler.h"
#include "tabula/filter_request.h"
#include "tabula/index_descriptor.h"
#include "tabula/lock_defaults.h"
#include "tabula/record.h"

namespace tabula {

// Which descriptor set a field operation uses: the working set (the dataset
// layer's view, which may add computed fields) or the file's own.
enum class TDescSet : uint8_t { kWorking, kFile };

// Result codes of the cursor operations.
enum : int { kResultOk = 0 };

// A data file's name as the engine stores it: blanks trimmed, ".DAT" added
// when the name has no extension.
std::string ResolveDataFileName(const std::string& name);
// The name of a companion file: the data file's name with its extension
// replaced by `extension` (".IDX", ".BLB").
std::string CompanionFileName(const std::string& dataFileName, const std::string& extension);

// Asked for a password when an enciphered table's password is not known;
// returns true when the caller should try again.
using TPasswordCallback = std::function<bool(void* userData)>;
// Receives the table's messages (blob chains repaired, foreign blobs).
using TMessageCallback = std::function<void(const std::string& text)>;

struct TFieldDef;
struct TFilter;
struct TDataFileStats;
struct TKeyFieldInfo;
class TBlobFile;
class TChangeSet;
class TDataFileOwners;
class TDataWriteLock;
class TFilterList;
class TFilterScanSource;
class TIndexFile;
class TRecordCache;
class TRecordLocks;
class TRecordStore;
class TTableCursor;
class TTableWriter;
class TTableLockState;

class TDataFile : public TFileHandler {
 public:
  TDataFile();
  ~TDataFile() override;


  // ---- Life cycle and options ----
  // Opens the data file, checks it (12035, 15878, 8961, 10498), loads the
  // descriptors, then opens the index file and, with blob fields, the blob
  // file. Any failure closes everything again and passes the error on.
  void Open();
  // Releases locks, writes out an exclusive handle's changes, closes the
  // companion files and the data file. Nothing for a closed handle.
  void Close();
  bool Active() const { return IsOpen(); }

  void SetStrictChangeDetection(bool value);
  bool StrictChangeDetection() const { return strictChangeDetection_; }
  void SetForceBufferFlush(bool value);
  bool ForceBufferFlush() const { return forceBufferFlush_; }
  void SetPasswordCallback(void* userData, TPasswordCallback callback);
  // Blob chain repairs and blobs owned by another record are reported here.
  void SetMessageCallback(TMessageCallback callback) { messageCallback_ = std::move(callback); }

  uint8_t LockRetryCount = kDefaultLockRetryCount;
  uint16_t LockWaitTime = kDefaultLockWaitTime;

  // Takes and releases the read lock: reloads headers and drops the caches
  // when another program changed the table.
  void Refresh();

  // ---- Header ----
  const TDataHeader& Header() const { return header_; }
  bool HeaderModified() const { return headerModified_; }
  // When forced or modified: increments ChangeCounter, stamps LastUpdated,
  // writes the header.
  void WriteHeader(bool force);

  // ---- Records and fields ----
  // The pinned record n (n = NextRecordNo appends a new slot); record 0
  // gives none with success. False (and none) when taking the read lock
  // found the table changed: the caller repositions and asks again.
  bool GetRecord(uint32_t recordNo, bool readAhead, int direction, bool indexRun, TRecord*& record);
  void ReleaseRecord(TRecord* record);
  // Up to `most` slots from `first` on, read in one block straight from the
  // file (not through the record cache) under the read lock, with this
  // handle's unwritten records laid over them: `records` points at slot
  // `first`, the slots StoredRecordSize() bytes apart, valid until the next
  // call. Gives the number of slots there (0: read them one by one; always
  // so while computed fields widen the record buffer), or -1 when taking
  // the read lock found the table changed.
  int32_t ReadRecordSpan(uint32_t first, int32_t most, const uint8_t*& records);
  // Most slots one ReadRecordSpan reads (0 while it reads none).
  int32_t RecordSpanSlots() const;
  // The record slots in the file and the slot the next append takes.
  int32_t NextRecordNo() const { return header_.NextRecordNo; }

  int FieldCount() const { return int(working_.size()); }
  // Bytes of a record buffer: the stored record plus the computed fields.
  int RecordSize() const { return int(header_.RecordSize) + computedSize_; }
  int StoredRecordSize() const { return header_.RecordSize; }
  int ReadAheadLimit() const { return readAheadLimit_; }

  // A copy of descriptor fieldNo of the set (9985 outside 1..count).
  TFieldDesc GetFieldDesc(TDescSet set, int fieldNo) const;
  // Names compare case-insensitively; 9985 when none matches.
  TFieldDesc GetFieldDescByName(TDescSet set, const std::string& name) const;
  const std::vector<TFieldDesc>& Descriptors(TDescSet set) const {
    return set == TDescSet::kWorking ? working_ : fileDescs_;
  }
  // Copies the field's DataSize bytes (zero-filled first) to `data` (may be
  // null) and returns whether the field is NULL.
  bool GetField(TDescSet set, int fieldNo, const uint8_t* buffer, uint8_t* data) const;
  // Stores DataSize bytes from `data`, or NULL when data is null, by the
  // rules of the field's type. Computed fields only when alsoComputed.
  void SetField(TDescSet set, int fieldNo, const uint8_t* data, bool alsoComputed, uint8_t* buffer);
  // Zero-fills the buffer and applies the fields' default values.
  void InitRecord(uint8_t* buffer);

  // ---- Locks ----
  // Record locks: 0 = the current record (10258 when there is none). No
  // locks for an exclusive handle or a read-only-by-attribute file.
  void LockRecord(int32_t recordNo);
  void UnlockRecord(int32_t recordNo);
  const std::vector<int32_t>& LockedRecords() const;
  // The read lock around every read: the index file's shared lock (then the
  // blob file's), then CheckForChanges. Returns true when that found the
  // table changed. 10249 when a lock cannot be taken or released.
  bool TakeReadLock();
  void ReleaseReadLock();
  // The write lock around every change: the data write byte (unless a write
  // hold has it), the index file's exclusive lock (then the blob file's),
  // then CheckForChanges unless a write hold or the table lock is active.
  bool TakeWriteLock();
  void ReleaseWriteLock();
  // The write hold across a run of changes: the data write byte and a header
  // check. Ending it frees the byte and then every record lock held unless
  // the table stays locked (record unlocks wait while a hold is active).
  void BeginWriteHold();
  void EndWriteHold();
  bool ReadLockHeld() const;
  bool WriteLockHeld() const;
  bool TableLocked() const;
  // The lock objects, for their try limits and counts.
  TDataWriteLock& WriteByteLock() { return *writeByte_; }
  const TRecordLocks& RecordLocks() const { return *recordLocks_; }

  // ---- Writing back ----
  void FlushAll(bool trim, bool forceHeader, bool keysChanged);
  void UnpinAll();

  // ---- Cache and statistics ----
  const TRecordCache& Cache() const;
  const TDataFileStats& DataStats() const;
  void ResetDataStats();
  // The engine's own parts, for the engine and its tests.
  TIndexFile& IndexFile() { return *indexFile_; }
  const TIndexFile& IndexFile() const { return *indexFile_; }
  TRecord* CurrentRecord() const;

  // ---- Cursor operations (the cursor part, table_cursor.cpp) ----
  // Each first takes the read lock when strict change detection is on.
  void SelectIndex(const std::string& name);  // 10022 for an unknown name
  uint8_t CurrentIndex() const;
  int IndexCount() const;
  TIndexDescriptor GetIndexDesc(uint8_t slot) const;
  int KeySize() const;  // 4 in physical order
  void GotoFirst();
  void GotoLast();
  // 8705 before the first record, 8706 after the last (buffer then filled by
  // InitRecord); else copies the current record and returns 0.
  int ReadCurrent(uint8_t* buffer, bool lock);
  int ReadNext(uint8_t* buffer);   // 8706 at the end
  int ReadPrior(uint8_t* buffer);  // 8705 at the beginning
  int GotoRecNo(int32_t recNo);
  int32_t CurrentRecNo();
  int32_t RecordCount();
  // Bookmarks are KeySize() bytes.
  void GetBookmark(uint8_t* bookmark);
  int GotoBookmark(const uint8_t* bookmark);
  int CompareBookmarks(const uint8_t* left, const uint8_t* right);
  // Key of the current index; fieldCount and partialLength limit the
  // compared part; nearest positions on the closest key.
  int FindKey(const uint8_t* key, int fieldCount, int partialLength, bool nearest);
  void SetRange(const uint8_t* startKey, int startFieldCount, int startPartialLength, bool startExclusive,
                const uint8_t* endKey, int endFieldCount, int endPartialLength, bool endExclusive);
  void CancelRange();
  int GotoCurrent(TDataFile& other);  // 8710 when not found
  std::unique_ptr<TDataFile> Clone();  // 11013 for an exclusive handle
  // Key of the current index built from a record buffer (kKeyBufferSize bytes).
  void BuildKey(const uint8_t* buffer, uint8_t* key);

  // ---- Record filters (data_file_filter.cpp) ----
  // Adds an inactive filter made from a filter expression buffer, a ready
  // tree or a callback (exactly one). Raises 9482 beyond 128 filters, 10051
  // for a request without any of them or a buffer that is not a sound
  // expression, 9985 with the name for a field the table lacks.
  TFilter* AddFilter(TFilterSpec request);
  // A null handle means every filter; 10050 for a handle the table does not
  // know. Activating evaluates the filter, combines the bitmaps and
  // repositions the cursor; deactivating and removing combine and reposition.
  void RemoveFilter(TFilter* handle);
  void ActivateFilter(TFilter* handle);
  void DeactivateFilter(TFilter* handle);
  size_t FilterCount() const;

  // ---- Table cipher (data_file_cipher.cpp) ----
  // The table's password (deciphered from the header); empty when the table
  // is not enciphered.
  std::string TablePassword() const;

  // ---- Blob fields (working descriptors; results 0 or an engine code) ----
  // Each returns 10753 for a field that is not a blob field. A buffer holds
  // an open blob as its negated handle.
  int IsBlobOpen(int fieldNo, const uint8_t* buffer, bool& open) const;
  // Mode kBlobModeRead or kBlobModeWrite. Nothing when the field's blob is
  // open already; 9998 for a negative value that names no open blob; else
  // opens the stored reference and puts the negated handle in the buffer.
  int OpenBlob(int fieldNo, uint8_t* buffer, int mode);
  // Closes the field's blob and puts its current reference back (10030
  // when the field holds no open handle).
  int FreeBlob(int fieldNo, uint8_t* buffer);
  int ReadBlob(int fieldNo, const uint8_t* buffer, int32_t offset, int32_t length, void* dest, int32_t& bytesRead);
  int WriteBlob(int fieldNo, uint8_t* buffer, int32_t offset, int32_t length, const void* source);
  int TruncateBlob(int fieldNo, uint8_t* buffer, int32_t newSize);
  int GetBlobSize(int fieldNo, const uint8_t* buffer, int32_t& size);
  bool HasBlobFile() const { return blobFileOpen_; }
  // The blob file's name (empty while the table has none open).
  std::string BlobFileName() const;
  TBlobFile& BlobFile() { return *blobFile_; }

  // ---- Record updates (the writer part, table_writer.cpp) ----
  // Inserts the buffer as a new record, which becomes the current record.
  // The buffer's bytes 5..8 receive the new record ID.
  void AppendRecord(uint8_t* buffer);
  // Replaces the current record (locked by the caller) by the buffer.
  void ModifyRecord(uint8_t* buffer, bool unlockAfterwards, bool reposition);
  // Deletes the current record; with reposition the cursor moves to where
  // the record stood (the next record in the current order).
  void DeleteRecord(bool reposition);
  // Replaces the working descriptors by ones built from definitions
  // (checked as for a new table: 10038, 10000, 10006). The stored fields
  // must describe the file's record layout (else 10000); computed fields
  // are placed after the stored part.
  void SetWorkingDescriptors(const std::vector<TFieldDef>& defs);

  // ---- Transactions ----
  // Starts a transaction (11013 on a read-only handle; nothing when one is
  // running). Changes stay in the caches until Commit; the first change
  // takes the table lock, which keeps every other writer out.
  void StartTransaction();
  // Writes the transaction's changes out, flushes the three files to disk
  // and releases the table lock and the record locks.
  void Commit();
  // Discards the transaction's changes as closing the handle does.
  void Rollback();
  bool InTransaction() const;
  bool ModifiedInTransaction() const;

  // The table's locale (language and sort ids) and whether it is enciphered.
  uint16_t LanguageId() const { return header_.LanguageId; }
  uint16_t SortId() const { return header_.SortId; }
  bool Encrypted() const { return header_.Encrypted != 0; }

  // ---- The index file as the table's users see it ----
  std::string IndexFileName() const;
  // Pages the index file holds (its header included).
  int64_t IndexFilePages() const;
  // The current order is the physical order of the slots (no index).
  bool PhysicalOrder() const;
  // The table keeps no primary index: its records stay in physical order.
  bool NoPrimaryIndex() const;
  // Secondary index slots in use (1..count).
  int SecondaryIndexCount() const;
  // Whether index `slot` keeps keys (a defined index, or "Sys Deleted").
  bool IndexKeepsKeys(uint8_t slot) const;

 private:
  // ---- Used by the engine itself: the record store, the cursor, the
  // writer, and the index and blob files through their owner interfaces ----
  // Trims blanks and adds ".DAT" when the name has no extension.
  std::string ResolveName(const std::string& name) override;
  void MarkHeaderModified() { headerModified_ = true; }
  // Reads the 127 header bytes; clears the modified flag.
  void ReadHeader();
  // Reads the change counter from the file; when it differs from the
  // buffered one, re-reads the header and returns true.
  bool HeaderChanged();
  // Run whenever this handle takes the read, write or table lock: reloads
  // what another program changed and drops the caches. True when changed.
  bool CheckForChanges();
  // CheckForChanges under a lock just taken; when the check fails, the lock
  // is given up again by `release` and the check's error passed on.
  bool CheckForChangesUnder(void (TDataFile::*release)());
  int FileFieldCount() const { return int(fileDescs_.size()); }
  bool WriteHoldActive() const;
  // The handle takes no locks: exclusive, or the file is read-only by attribute.
  bool LockFree() const { return Exclusive() || ReadOnlyByAttribute(); }
  // Writes the modified, unpinned, unmarked records, one write per run of
  // consecutive slots. True when anything was written.
  bool FlushRecords();
  size_t OpeningCacheCapacity() const;
  TFilter* FilterAt(size_t index) const;
  // The table lock, which a transaction's first change takes: the data
  // file's table byte (the write byte) for this handle, then a check for
  // changes; an exclusive handle only notes the state. Unlocking releases
  // the table byte and every record lock of the handle.
  void LockTable();
  void UnlockTable();
  // Enciphered tables pass the descriptor block, records, index header and
  // pages, and blob header and blocks through the record-key scramble; each
  // block starts it afresh at its first byte.
  void EncipherBlock(uint8_t* data, size_t size);
  void DecipherBlock(uint8_t* data, size_t size);
  // ---- What the index and blob files ask of the table (through
  // TDataFileOwners, which implements their owner interfaces) ----
  friend class TDataFileOwners;
  bool LockAndCheckForChanges();
  bool HoldsSharedLock() const;
  int32_t RecordSlotCount() const { return header_.NextRecordNo - 1; }
  bool GetKeyFieldInfo(uint16_t fieldNo, TKeyFieldInfo& info) const;
  bool RecordIsLive(int32_t recNo);
  bool BlobTakeReadLock();
  void BlobMessage(const std::string& text);
  void BlobStoreReference(int descriptorSet, int fieldNo, int32_t reference, uint8_t* recordBuffer);

  void ResetState();
  void LoadFieldDescriptors();
  void SetWorkingFromFile();
  void CheckConsistency(int64_t fileLength);
  void CheckPassword();
  void OpenCompanions();
  friend class TRecordStore;
  friend class TTableWriter;
  // The validity, default and computed-field flags of a descriptor set.
  void NoteFieldFeatures(const std::vector<TFieldDesc>& descs);
  void DropRecordCache();
  // What CheckForChanges does after a change: reload, drop, re-find.
  void ReloadAfterChange(bool indexChanged);
  const std::vector<TFieldDesc>& SetOf(TDescSet set) const { return Descriptors(set); }
  [[noreturn]] void Fail(uint16_t code, const std::string& fieldName = {}) const;
  // Blob fields: the descriptor of a blob field of the working set, or null.
  const TFieldDesc* BlobFieldDesc(int fieldNo) const;
  // The open blob's handle a buffer's blob field names (0 when none).
  static int32_t HandleInField(const TFieldDesc& d, const uint8_t* buffer);
  // Size of an open blob (0 when not open or unreadable).
  int32_t OpenBlobSize(int32_t handle) const;
  // Releases the read lock an operation took on its own.
  void EndReadScope(bool hadReadLock);

  TDataHeader header_;
  bool headerModified_ = false;
  bool layoutLoaded_ = false;  // descriptors loaded: the record layout may not change
  std::vector<TFieldDesc> fileDescs_;
  std::vector<TFieldDesc> working_;
  bool hasValidityChecks_ = false;
  bool hasDefaults_ = false;
  bool hasComputed_ = false;
  int computedSize_ = 0;
  int readAheadLimit_ = 1;

  // The owner interfaces the index and blob files call back through.
  std::unique_ptr<TDataFileOwners> owners_;
  std::unique_ptr<TRecordStore> store_;
  // Where the handle stands, with its current record.
  std::unique_ptr<TTableCursor> cursor_;
  // Updates and transactions.
  std::unique_ptr<TTableWriter> writer_;

  // Locks: the write byte, the record locks and which of them (and of the
  // index and blob files' locks) the handle holds, with the transaction.
  std::unique_ptr<TDataWriteLock> writeByte_;
  std::unique_ptr<TRecordLocks> recordLocks_;
  std::unique_ptr<TTableLockState> lockState_;

  // Options.
  bool strictChangeDetection_ = false;
  bool forceBufferFlush_ = false;
  void* passwordUserData_ = nullptr;
  TPasswordCallback passwordCallback_;

  // The table's record filters; the index file's cursor reaches them as its
  // filter hook (declared before the index file, which points to it).
  std::unique_ptr<TFilterList> filterList_;
  std::unique_ptr<TIndexFile> indexFile_;
  // The blob file is opened beside the index file when BlobFieldCount != 0;
  // its shared lock follows the index file's in TakeReadLock and its
  // exclusive lock in TakeWriteLock; CheckForChanges checks its header and
  // FlushAll writes it after the index file.
  std::unique_ptr<TBlobFile> blobFile_;
  bool blobFileOpen_ = false;
  TMessageCallback messageCallback_;
  // The filters' side of the table (record reads and index scans), made
  // when the first filter is added.
  std::unique_ptr<TFilterScanSource> filterSource_;
  void WireFilters();
  // Adds this table's filters to a clone, active where they are here.
  void CopyFiltersTo(TDataFile& clone) const;
  // Enciphered tables open in this process, for the second-cursor rule.
  void RegisterOpenCipherTable();
  void ForgetOpenCipherTable();
  std::string cipherIdentity_;
};

}  // namespace tabula
