// Text values in the registry. Every operation opens the key, does its work and closes it again, except that an
// object keeps the key its last read (and its last write) opened for the next one on the same key: the settings are
// read and written several values at a time, and opening a key walks and checks every level of its path. The kept
// keys close with the object. Failures return false and leave the system error code and a readable text in the
// object.
#pragma once

#include "common/Text.h"
#include "platform/win32/Win32.h"

class CVLReg {
public:
    CVLReg() = default;
    virtual ~CVLReg();
    CVLReg(const CVLReg&) = delete;
    CVLReg& operator=(const CVLReg&) = delete;

    // Reads a REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ value (the first string; unexpanded). value is written only on
    // success. Values of any length the hive holds (up to 64 KiB) are read whole; a value file that is corrupt or over
    // that size fails with ERROR_BADKEY.
    bool ReadValue(CString& value, CString keyPath, CString valueName);
    // Writes data's characters (no terminator) as a value of the given type, creating the key and its parents.
    bool WriteValue(CString keyPath, CString valueName, CString data, DWORD type);
    // True when the key opens for reading.
    bool KeyExists(CString keyPath);
    void SetErrorFromCode(DWORD code);
    // Formats with the conversions %c, %i and %s only.
    static CString Format(const char* format, ...);

    HKEY m_hRootKey = nullptr;
    CString m_strLastError;
    DWORD m_dwLastError = 0;

private:
    // A key kept open for the next operation on the same root and path.
    struct KeptKey {
        HKEY root = nullptr;
        CString path;
        HKEY key = nullptr;
    };
    // The key for root m_hRootKey and path: the kept one, else a new opening (kept from then on). status receives
    // the opening's result.
    HKEY kept_key(KeptKey& kept, const CString& keyPath, bool forWriting, LONG& status);
    static void close_kept(KeptKey& kept) noexcept;

    KeptKey m_readKey;
    KeptKey m_writeKey;
};
