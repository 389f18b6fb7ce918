#include "tabula/engine_error.h"

#include "tabula/file_session.h"
#include "tabula/windows1251.h"

namespace tabula {

namespace {

// One row of the message table: {file}, {field}, {index} and {text} stand for
// the error's parameters.
struct TMessageRow {
  uint16_t Code;
  const char* Pattern;
};

constexpr TMessageRow kMessages[] = {
    {kErrBeginningOfFile, "Beginning of file encountered in data file {file}"},
    {kErrEndOfFile, "End of file encountered in data file {file}"},
    {kErrKeyNotFound, "Key not found in index {index} of data file {file}"},
    {kErrRecordNotFound, "Record not found in data file {file}"},
    {kErrEndOfBlob, "End of blob data in data file {file} reached prematurely"},
    {kErrHeaderCorrupt, "Header information corrupt in data file {file}"},
    {kErrRecordBuffersCorrupt, "Data record buffers corrupt in data file {file}"},
    {kErrBlobBuffersCorrupt, "BLOB block buffers corrupt in data file {file}"},
    {kErrIndexPagesCorrupt, "Index page buffers corrupt in data file {file}"},
    {kErrRead, "Error reading from data file {file}"},
    {kErrWrite, "Error writing to data file {file}"},
    {kErrDelete, "Cannot delete data file {file}"},
    {kErrHeaderAccess, "Error accessing file header information for data file {file}"},
    {kErrRecordSize, "Maximum record size exceeded in data file {file}"},
    {kErrFileFull, "The data file {file} is full and cannot contain any more data"},
    {kErrTooManyFilters, "Too many filters defined for data file {file}"},
    {kErrIndexLimits,
     "Maximum or minimum limits on number of indexes or fields in an index exceeded in data file {file}"},
    {kErrFieldLimits, "Maximum or minimum limits on number of fields or field size exceeded in data file {file}"},
    {kErrTooManyBlobs, "Too many blobs opened in data file {file}"},
    {kErrBlobFieldsOrBlockSize, "Too many blob fields or invalid blob block size specified for data file {file}"},
    {kErrDuplicateKey, "Duplicate key found in index {index} of data file {file}"},
    {kErrBelowMinimum, "The value for the field {field} in data file {file} is below the minimum allowable value"},
    {kErrAboveMaximum, "The value for the field {field} in data file {file} is above the maximum allowable value"},
    {kErrValueRequired, "A value must be provided for the field {field} in data file {file}"},
    {kErrInvalidField, "Invalid field number or name {field} specified for data file {file}"},
    {kErrPrimaryExists, "A primary index is already defined for data file {file} and cannot be added again"},
    {kErrBlobOffset, "Invalid blob offset into data file {file} specified"},
    {kErrFieldDefinition, "Invalid field definition specified for the field {field} in data file {file}"},
    {kErrValidityCheck,
     "Invalid default, min or max validity check, or expression specified for {field} in data file {file}"},
    {kErrIndexNameMissing, "The secondary index name is missing or not specified for data file {file}"},
    {kErrInvalidPassword, "Password provided for data file {file}is invalid"},
    {kErrInvalidIndexName, "Invalid secondary index name {index} specified for data file {file}"},
    {kErrIndexFieldNumber, "Invalid field number {field} specified in index {index} for data file {file}"},
    {kErrKeySize, "Invalid key size specified in index {index} for data file {file}"},
    {kErrIndexExists, "The secondary index {index} already exists for data file {file}"},
    {kErrBlobLength, "Invalid blob length in data file {file}"},
    {kErrBlobHandle, "Invalid blob handle for data file {file} specified"},
    {kErrInUse, "Data file {file} is already in use"},
    {kErrFieldName, "Invalid or duplicate field name {field} specified for data file {file}"},
    {kErrFilterHandle, "Invalid filter handle specified for data file {file}"},
    {kErrFilterExpression, "Invalid filter expression specified for data file {file}"},
    {kErrPrimaryRemove, "The primary index cannot be removed from data file {file}"},
    {kErrTableLocked, "The data file {file} is already locked by another user"},
    {kErrUnlock, "Cannot unlock data file or record in data file {file}"},
    {kErrLockFailure, "General lock failure with data file {file}"},
    {kErrMustBeExclusive, "Data file {file} must be opened exclusively"},
    {kErrRecordInUse, "Record in data file {file} is in use by another user"},
    {kErrPasswordRequired, "Insufficient rights to data file {file}, a password is required"},
    {kErrInvalidBlobField, "Invalid blob field {field} specified for data file {file}"},
    {kErrNotInitialized, "Tabula engine not initialized"},
    {kErrInvalidPath, "Invalid path or file name for data file {file}"},
    {kErrTooManyFiles, "Too many files open while attempting to open data file {file}"},
    {kErrAccessDenied, "Access denied to data file {file}"},
    {kErrInvalidHandle, "Invalid file handle for data file {file}"},
    {kErrOutOfMemory, "There is insufficient operating system memory available for the current operation"},
    {kErrMemoryFileLength, "Invalid length for in-memory data file {file}"},
    {kErrDeviceAccess, "Access denied to logical operating system device for data file {file}"},
    {kErrFileMoved, "Data file {file} has been moved"},
    {kErrUnknownOs, "An unknown operating system error occurred with data file {file}"},
    {kErrSql, "SQL - {text}"},
    {kErrVersion, "Data file {file} is not the correct version"},
    {kErrIndexFieldType, "Invalid field type specified for index {index} in data file {file}"},
    {kErrLanguageDriver, "The language driver for data file {file} is not available or installed"},
};

constexpr const char* kUnknownMessage = "Unknown error occurred with data file {file}";

// Fills the pattern's placeholders in one pass (a parameter that happens to
// contain "{file}" is not expanded again).
std::string Expand(const char* pattern, const TErrorParams& params) {
  std::string out;
  std::string_view p(pattern);
  size_t i = 0;
  while (i < p.size()) {
    if (p[i] == '{') {
      size_t close = p.find('}', i);
      std::string_view key = p.substr(i + 1, close - i - 1);
      if (key == "file") out += params.FileName;
      else if (key == "field") out += params.FieldName;
      else if (key == "index") out += params.IndexName;
      else if (key == "text") out += params.Text;
      i = close + 1;
    } else {
      out += p[i++];
    }
  }
  return out;
}

std::string Cut(std::string text) {
  if (text.size() > kMaxEngineMessage) text.resize(kMaxEngineMessage);
  return text;
}

// Parameters are short strings in the session: at most 255 bytes.
std::string Short(const std::string& s) { return s.size() > 255 ? s.substr(0, 255) : s; }

}  // namespace

std::string BuildEngineMessage(uint16_t code, const TErrorParams& params) {
  const char* pattern = kUnknownMessage;
  for (const TMessageRow& row : kMessages) {
    if (row.Code == code) {
      pattern = row.Pattern;
      break;
    }
  }
  return Cut(Expand(pattern, params));
}

namespace {
// The current session's error parameters; empty without a session.
TErrorParams SessionParams() {
  TErrorParams params;
  if (TFileSession* session = CurrentSessionOrNull()) {
    TErrorContext context = session->ErrorContext();
    params = {std::move(context.FileName), std::move(context.FieldName), std::move(context.Text),
              std::move(context.IndexName)};
  }
  return params;
}
}  // namespace

std::string BuildEngineMessage(uint16_t code) { return BuildEngineMessage(code, SessionParams()); }

ETabulaEngineError::ETabulaEngineError(uint16_t code) : ETabulaEngineError(code, SessionParams()) {}

ETabulaEngineError::ETabulaEngineError(uint16_t code, const TErrorParams& params) : fw::EDatabaseError("") {
  std::string text = BuildEngineMessage(code, params);
  Errors.push_back(std::make_shared<TTabulaError>(code, text));
  Message = "Tabula Engine Error # " + std::to_string(code) + " " + text;
}

void RaiseEngineError(uint16_t code, const std::string& fileName, const std::string& fieldName,
                      const std::string& text, const std::string& indexName) {
  if (code == kErrNotInitialized) throw ETabulaEngineError(code, TErrorParams{});
  TFileSession* session = CurrentSessionOrNull();
  if (session == nullptr) {
    // No session to keep the context in: the message is built from the
    // parameters themselves, so the error still names what failed.
    throw ETabulaEngineError(code, TErrorParams{Short(fileName), Short(fieldName), Short(text), Short(indexName)});
  }
  TErrorParams params{Short(fileName), Short(fieldName), Short(text), Short(indexName)};
  session->SetErrorContext(TErrorContext{code, params.FileName, params.FieldName, params.Text, params.IndexName});
  // The message is built from what this call stored, not read back: another
  // thread of the session may have raised meanwhile.
  throw ETabulaEngineError(code, params);
}

int RaiseIfError(int code) {
  if (code != 0) throw ETabulaEngineError(static_cast<uint16_t>(code));
  return 0;
}

std::string EngineErrorText(const std::exception& error) {
  std::string text;
  if (const auto* e = dynamic_cast<const fw::Exception*>(&error))
    text = Cp1251ToUtf8(e->Message);
  else
    text = error.what();
  // One line: the engine joins its parts with line breaks.
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') text.erase(i--, 1);
  }
  for (size_t pos; (pos = text.find('\n')) != std::string::npos;) text.replace(pos, 1, "; ");
  return text;
}

}  // namespace tabula
