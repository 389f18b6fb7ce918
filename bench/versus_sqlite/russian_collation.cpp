// RUSSIAN_CI: see russian_collation.h.
//
// The collator is opened the way the engine opens the collator of a table
// with the Russian language driver (language id 0x0419): ICU's locale for
// that Windows locale identifier, secondary strength, so that letter case
// is ignored and everything else (letters, accents, digits, punctuation)
// counts, and without the locale's script reordering (Latin before
// Cyrillic, as in the engine's indexes). Text arrives as UTF-8 and is
// compared as UTF-8.

#include "bench/versus_sqlite/russian_collation.h"

#include <sqlite3ext.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <cstring>

SQLITE_EXTENSION_INIT1

namespace {

constexpr uint32_t kRussianLcid = 0x0419;

int CompareUtf8(void* collator, int leftBytes, const void* left, int rightBytes, const void* right) {
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult result =
      ucol_strcollUTF8(static_cast<UCollator*>(collator), static_cast<const char*>(left), leftBytes,
                       static_cast<const char*>(right), rightBytes, &status);
  if (U_FAILURE(status)) {
    // Malformed text: fall back to byte order so the order stays total.
    const int n = std::memcmp(left, right, size_t(leftBytes < rightBytes ? leftBytes : rightBytes));
    return n != 0 ? n : leftBytes - rightBytes;
  }
  return result == UCOL_LESS ? -1 : (result == UCOL_GREATER ? 1 : 0);
}

void CloseCollator(void* collator) { ucol_close(static_cast<UCollator*>(collator)); }

int Fail(char** error, const char* text) {
  if (error) *error = sqlite3_mprintf("RUSSIAN_CI: %s", text);
  return SQLITE_ERROR;
}

}  // namespace

extern "C" int sqlite3_russiancollation_init(sqlite3* db, char** error, const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  (void)api;
  char locale[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLocaleForLCID(kRussianLcid, locale, sizeof locale, &status);
  if (U_FAILURE(status)) return Fail(error, "ICU has no locale for the Russian language id");
  status = U_ZERO_ERROR;
  UCollator* collator = ucol_open(locale, &status);
  if (U_FAILURE(status)) return Fail(error, "ICU cannot open the Russian collator");
  ucol_setStrength(collator, UCOL_SECONDARY);
  const int32_t noReordering = UCOL_REORDER_CODE_NONE;
  status = U_ZERO_ERROR;
  ucol_setReorderCodes(collator, &noReordering, 1, &status);
  if (U_FAILURE(status)) {
    ucol_close(collator);
    return Fail(error, "ICU cannot drop the Russian collator's script reordering");
  }
  const int rc = sqlite3_create_collation_v2(db, "RUSSIAN_CI", SQLITE_UTF8, collator, CompareUtf8, CloseCollator);
  if (rc != SQLITE_OK) {
    ucol_close(collator);
    return Fail(error, "the collation could not be registered");
  }
  return SQLITE_OK;
}
