#pragma once
// TTableWriter: everything that changes one table handle's records. The
// chain of free record slots, record IDs, the validity checks, appending,
// modifying and deleting records (keeping every index, the "Sys Deleted"
// index and the blob file in step with the records) and transactions.
//
// Every update has one shape (TUpdate): its opening checks the handle,
// lets a transaction's first change take the table lock and takes the
// write lock; each step it applies is noted in its change set with the way
// back; leaving by an error, what was applied is taken back and the final
// steps (repositioning the cursor, unlocking the record, releasing the
// write lock) run, the update's own error being the one passed on.
//
// Keys are maintained index by index without selecting each index, so the
// index the cursor uses stays selected throughout.
//
// TDataFile owns one and forwards its update and transaction operations.

#include <cstdint>
#include <vector>

namespace tabula {

class TChangeSet;
class TDataFile;
struct TRecord;

class TTableWriter {
 public:
  explicit TTableWriter(TDataFile& table) : table_(table) {}
  TTableWriter(const TTableWriter&) = delete;
  TTableWriter& operator=(const TTableWriter&) = delete;

  // ---- The operations TDataFile forwards (see there) ----
  void AppendRecord(uint8_t* buffer);
  void ModifyRecord(uint8_t* buffer, bool unlockAfterwards, bool reposition);
  void DeleteRecord(bool reposition);
  void StartTransaction();
  void Commit();
  void Rollback();
  // Ends a transaction that holds the table lock, discarding what it
  // changed, and releases the table lock (Rollback, and closing a handle).
  void EndTransactionDiscard();

 private:
  class TUpdate;

  void CheckWritable() const;
  // Writing under another handle's eyes: neither exclusive nor under the
  // table lock, so each change goes to the files at once.
  bool Sharing() const;
  // Required, minimum and maximum checks over the working descriptors
  // (9732, 9730, 9731); nothing when the table has no validity checks.
  void ValidateRecord(const uint8_t* buffer);
  // The slot the next append takes: the head of the free chain (tables with
  // a primary index), else the end of the file.
  int32_t NextFreeSlot() const;
  // Gets slot r (pinned) and unlinks it from the free chain.
  TRecord* TakeSlot(int32_t recordNo);
  // Puts a cached record on the free chain (status 1).
  void FreeSlot(TRecord* record);
  // Hands out the next record ID (after 2147483647 it starts from 1 again).
  int32_t NextRecordID();
  // The slots whose keys follow the records: the primary index, if any,
  // and every secondary one.
  std::vector<uint8_t> MaintainedSlots() const;
  std::vector<uint8_t> KeyOf(uint8_t slot, const uint8_t* record) const;
  // The record's key in the current index (empty in physical order).
  std::vector<uint8_t> CurrentIndexKey(const uint8_t* record) const;
  // Tells the index file's cursor that slot recordNo now holds `record`.
  void NoteWritten(int32_t recordNo, const uint8_t* record);
  // The current record is pinned again after an unpin of everything.
  void RepinCurrent();
  void FlushToDisk();
  // A sharing handle writes the change out; the current record stays pinned.
  void FlushAfterChange(bool keysChanged);
  // The first change of a transaction takes the table lock (an exclusive
  // handle first writes out what it changed before the transaction).
  void BeginTransactionWrites();
  // Blob fields: a handle in the buffer must name an open blob (10251 with
  // the field's name); storing gives each open blob's reference to its
  // field; freeing truncates the blobs the record refers to.
  void CheckBlobHandles(const uint8_t* buffer) const;
  void StoreRecordBlobs(int32_t recordNo, uint8_t* slot);
  void FreeRecordBlobs(int32_t recordNo, const uint8_t* scratch);
  // Frees the blobs the record in slot recordNo refers to.
  void FreeSlotBlobs(int32_t recordNo);
  // The record an update of the current record works on: the current one,
  // or the one the cursor was put back on after a change by another
  // program dropped the cached records (0 when none).
  int32_t CurrentRecordForUpdate() const;
  // Drops what the caches hold that is not in the files (records, index
  // pages, headers and, with blobs, blob blocks) and puts the cursor back
  // where it stood.
  void DiscardUnwrittenChanges(bool blobs);
  // Closes and opens the blob file, which drops its unwritten blocks.
  void ReopenBlobFile();
  // Puts slot recordNo back as `before` holds it (empty: a slot the update
  // added at the end, dropped from the cache). keepBlobFields keeps the
  // blob references the record holds now.
  void RestoreSlot(int32_t recordNo, const std::vector<uint8_t>& before, bool keepBlobFields);
  // After an update failed: what it applied is taken back. A handle that
  // shares the files and had written nothing yet drops its caches, which
  // leaves the files byte for byte as they were; otherwise the change set
  // is undone in reverse and, for a sharing handle, written out again.
  // False when there was nothing left to take back (the update had made
  // its change stand). Never raises: the update's own error is reported.
  bool TakeBackFailedUpdate(TChangeSet& changes, bool writing, bool blobsTouched) noexcept;

  TDataFile& table_;
};

}  // namespace tabula
