#pragma once
// A consistency check of a data file: the header, the field descriptors and
// the file length, every record slot (status byte, slot link, record ID,
// null flags, NULL fields holding data, strings without their terminating
// zero) and the chain of free slots. Each fault found is one line of
// Windows-1251 text (field names as stored); nothing is raised for damage.
//
// The checks read slots through a reader, so the same code serves the
// command-line tool (the file's bytes, deciphered) and an open table (its
// record cache, which holds what is not yet written). CheckTableFiles runs
// them with the index and blob checkers over an open table.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/blob_checker.h"
#include "tabula/data_header.h"
#include "tabula/field_desc.h"

namespace tabula {

class TDataFile;

using TFaultSink = std::function<void(const std::string& fault)>;
// The stored bytes of record slot recNo (1-based), deciphered; valid until
// the next call.
using TSlotReader = std::function<const uint8_t*(int32_t recNo)>;

// What the checks learn of the record slots.
struct TDataSlots {
  std::vector<uint8_t> Status;  // index = record number; 0 live, 1 deleted
  std::vector<int32_t> Ids;
  int32_t LiveRecords = 0;
};

// The header fields read before anything else (format version, computed
// size, locale, field count, room for the descriptors). False when the
// descriptors cannot be read.
bool CheckDataHeaderBlock(const uint8_t* bytes, size_t size, TDataHeader& header, const TFaultSink& fault);

// The next record number, each field descriptor (numbers in order, known
// types, widths and offsets that tile the record exactly), the record size,
// the blob field count and the file length against the slot count.
// `bytes` is the file (its descriptor block deciphered). Fills `fields` and
// `slots` (the whole slots in the file); false when the record layout
// cannot be trusted.
bool CheckDataLayout(const uint8_t* bytes, size_t size, const TDataHeader& header, std::vector<TFieldDesc>& fields,
                     int32_t& slots, const TFaultSink& fault);

// Every record slot 1..slots.
TDataSlots CheckDataRecords(const TDataHeader& header, const std::vector<TFieldDesc>& fields, int32_t slots,
                            const TSlotReader& slot, const TFaultSink& fault);

// The free-slot chain from the header: in range, deleted slots only, no
// cycle; with everyDeletedOnChain (a table with a primary index) every
// deleted slot must be on it.
void CheckFreeSlotChain(const TDataHeader& header, const TDataSlots& slots, const TSlotReader& slot,
                        bool everyDeletedOnChain, const TFaultSink& fault);

// The references the live records hold in their blob fields (0 = no blob
// is left out); a negative value, an open-blob handle left in the record,
// is a fault.
std::vector<TBlobReference> CollectBlobReferences(const std::vector<TFieldDesc>& fields, const TDataSlots& slots,
                                                  const TSlotReader& slot, const TFaultSink& fault);

// The records and free chain, the index file (trees, "Sys Deleted" against
// the records) and the blob file of an open table, under its read lock.
std::vector<std::string> CheckTableFiles(TDataFile& table);

}  // namespace tabula
