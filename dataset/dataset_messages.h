#pragma once
// The dataset layer's error texts (raised as fw::EDatabaseError).

namespace tabula::db::msg {

inline constexpr const char* kSessionNameInvalid = "Session name %s is not valid.";
inline constexpr const char* kSessionNameMissing = "Session name is missing.";
inline constexpr const char* kSessionActive = "Cannot perform this operation on an active session.";
inline constexpr const char* kAutoSessionActive = "Cannot perform this operation on the active auto-session.";
inline constexpr const char* kSessionNameExists = "Session name %s already exists.";
inline constexpr const char* kAutoSessionOnly = "The active auto-session can be the only active session.";
inline constexpr const char* kAutoSessionExists = "This auto-session already exists.";
inline constexpr const char* kDatabaseOpen = "Cannot perform this operation on an open database.";
inline constexpr const char* kDatabaseNameMissing = "Database name is missing.";
inline constexpr const char* kDatabaseNameInvalid = "Database name %s is not valid.";
inline constexpr const char* kDatabaseNameExists = "Database name %s already exists.";
inline constexpr const char* kTableHandleError = "Error creating table handle.";
inline constexpr const char* kNoTableName = "Missing table name.";
inline constexpr const char* kNotIndexField = "Field '%s' is not indexed and cannot be modified";
inline constexpr const char* kNoIndexForFields = "No index for fields '%s'";
inline constexpr const char* kNoIndexActive = "No index currently active";
inline constexpr const char* kIndexFieldOutOfRange = "Field index out of range";
inline constexpr const char* kIndexFieldAccess = "Cannot access index field '%s'";

}  // namespace tabula::db::msg
