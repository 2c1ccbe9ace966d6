// The suite's five database settings under HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\General and their load and save rules.
#pragma once

#include "common/Text.h"

// The settings key path, SOFTWARE\Velmora\General.
CString SettingsKeyPath();

// A stored "DBUserPassword" of this many characters or more is in encrypted form.
inline constexpr std::size_t kEncryptedPasswordMinLength = 44;

// Replaces the five texts by the stored values (missing or unreadable ones become empty; the password decrypted).
// Always returns true.
bool LoadDatabaseSettings(CString& databaseServer, CString& dbServerIP, CString& databaseName, CString& dbUserID,
                          CString& dbUserPassword);
// Writes all five values (the password in its stored, encrypted form). Values that cannot be written are skipped.
// Always returns true.
bool SaveDatabaseSettings(const CString& databaseServer, const CString& dbServerIP, const CString& databaseName,
                          const CString& dbUserID, const CString& dbUserPassword);
// As SaveDatabaseSettings, for callers that must know the outcome (the unattended command line): true when all
// five values were written; otherwise false, with the first failing value's error text (CVLReg::m_strLastError)
// in *firstError when firstError is not null. Every value is still attempted.
bool SaveDatabaseSettingsChecked(const CString& databaseServer, const CString& dbServerIP, const CString& databaseName,
                                 const CString& dbUserID, const CString& dbUserPassword, CString* firstError);
