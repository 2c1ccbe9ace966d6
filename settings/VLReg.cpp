#include "settings/VLReg.h"

#include "common/Secret.h"
#include "platform/messages/Messages.h"
#include "platform/registry/Registry.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr DWORD message_flags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;

constexpr const char* type_mismatch_text = "The type you specified mismatch with registry value type.";
constexpr const char* missing_message_format = "The system cannot find error message for error number %i";

// The first read's room: every value the settings store is shorter. A longer value, or one that grows between two
// reads, is asked for again with the size it now has; a value that keeps changing that fast is reported with
// ERROR_MORE_DATA after these attempts.
constexpr DWORD first_read_size = 256;
constexpr int read_attempts = 8;

bool is_text_type(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Closes a key on every path out of an operation.
class open_key {
public:
    open_key() = default;
    open_key(const open_key&) = delete;
    open_key& operator=(const open_key&) = delete;
    ~open_key() {
        if (m_key != nullptr)
            (void)RegCloseKey(m_key);
    }
    PHKEY out() { return &m_key; }
    HKEY get() const { return m_key; }
    void close() {
        if (m_key != nullptr)
            (void)RegCloseKey(m_key);
        m_key = nullptr;
    }

private:
    HKEY m_key = nullptr;
};

} // namespace

CVLReg::~CVLReg() {
    close_kept(m_readKey);
    close_kept(m_writeKey);
}

void CVLReg::close_kept(KeptKey& kept) noexcept {
    if (kept.key != nullptr)
        (void)RegCloseKey(kept.key);
    kept = KeptKey{};
}

HKEY CVLReg::kept_key(KeptKey& kept, const CString& keyPath, bool forWriting, LONG& status) {
    if (kept.key != nullptr && kept.root == m_hRootKey && kept.path == keyPath) {
        status = ERROR_SUCCESS;
        return kept.key;
    }
    close_kept(kept);
    HKEY key = nullptr;
    if (forWriting) {
        // An existing key is opened for writing; only a missing one is created (with its missing parents).
        status = RegOpenKeyExA(m_hRootKey, keyPath.c_str(), 0, KEY_WRITE, &key);
        if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND)
            status = RegCreateKeyExA(m_hRootKey, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                     nullptr, &key, nullptr);
    } else {
        status = RegOpenKeyExA(m_hRootKey, keyPath.c_str(), 0, KEY_READ, &key);
    }
    if (status != ERROR_SUCCESS)
        return nullptr;
    kept = KeptKey{m_hRootKey, keyPath, key};
    return key;
}

bool CVLReg::ReadValue(CString& value, CString keyPath, CString valueName) {
    if (m_hRootKey == nullptr)
        m_hRootKey = HKEY_LOCAL_MACHINE;

    LONG status = ERROR_SUCCESS;
    const HKEY key = kept_key(m_readKey, keyPath, false, status);
    if (status != ERROR_SUCCESS) {
        SetErrorFromCode(static_cast<DWORD>(status));
        m_dwLastError = static_cast<DWORD>(status);
        return false;
    }

    // One query with a buffer most values fit in; a longer value answers with its size (ERROR_MORE_DATA) and is
    // asked for again with that size, so a value of any length is read whole. The buffer has room for the zero put
    // behind the data, and is a secret: the value may be the password's stored form.
    DWORD type = 0;
    DWORD size = first_read_size;
    SecretText buffer;
    for (int attempt = 0;; ++attempt) {
        try {
            buffer = SecretText::Build(static_cast<std::size_t>(size) + 1, [&](char* bytes) {
                status =
                    RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(bytes), &size);
                return status == ERROR_SUCCESS ? static_cast<std::size_t>(size) : 0;
            });
        } catch (const std::bad_alloc&) {
            status = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        if (status != ERROR_MORE_DATA || attempt + 1 == read_attempts)
            break;
    }
    if (status != ERROR_SUCCESS) {
        SetErrorFromCode(static_cast<DWORD>(status));
        m_dwLastError = static_cast<DWORD>(status);
        return false;
    }
    if (!is_text_type(type)) {
        m_strLastError = type_mismatch_text;
        m_dwLastError = 0;
        return false;
    }

    value = CString(buffer.Text().c_str());
    m_dwLastError = 0;
    return true;
}

bool CVLReg::WriteValue(CString keyPath, CString valueName, CString data, DWORD type) {
    const SecretText bytes{std::move(data)}; // it may be the password's stored form
    if (m_hRootKey == nullptr)
        m_hRootKey = HKEY_LOCAL_MACHINE;

    LONG status = ERROR_SUCCESS;
    const HKEY key = kept_key(m_writeKey, keyPath, true, status);
    if (status != ERROR_SUCCESS) {
        SetErrorFromCode(static_cast<DWORD>(status));
        m_dwLastError = static_cast<DWORD>(status);
        return false;
    }

    status = RegSetValueExA(key, valueName.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.Text().data()),
                            static_cast<DWORD>(bytes.size()));
    if (status != ERROR_SUCCESS) {
        SetErrorFromCode(static_cast<DWORD>(status));
        m_dwLastError = static_cast<DWORD>(status);
        return false;
    }
    m_dwLastError = 0;
    return true;
}

bool CVLReg::KeyExists(CString keyPath) {
    if (m_hRootKey == nullptr)
        m_hRootKey = HKEY_LOCAL_MACHINE;

    open_key key;
    const LONG status = RegOpenKeyExA(m_hRootKey, keyPath.c_str(), 0, KEY_READ, key.out());
    if (status != ERROR_SUCCESS) {
        m_dwLastError = static_cast<DWORD>(status);
        return false;
    }
    key.close();
    m_dwLastError = 0;
    return true;
}

void CVLReg::SetErrorFromCode(DWORD code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(message_flags, nullptr, code, LANG_NEUTRAL_SUBLANG_DEFAULT,
                                        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length > 0 && text != nullptr)
        m_strLastError.assign(text, length);
    else
        m_strLastError = Format(missing_message_format, static_cast<int>(code));
    LocalFree(text);
}

CString CVLReg::Format(const char* format, ...) {
    CString result;
    if (format == nullptr)
        return result;
    va_list args;
    va_start(args, format);
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            result += *p;
            continue;
        }
        // A '%' is never copied; the character after it is a conversion or is handled as an ordinary character.
        switch (p[1]) {
        case 'c': {
            // Texts end at their first zero byte, so the zero character contributes nothing.
            const char c = static_cast<char>(va_arg(args, int));
            if (c != '\0')
                result += c;
            ++p;
            break;
        }
        case 'i':
            result += std::to_string(static_cast<std::int32_t>(va_arg(args, int)));
            ++p;
            break;
        case 's': {
            const char* text = va_arg(args, const char*);
            if (text != nullptr)
                result += text;
            ++p;
            break;
        }
        default:
            break;
        }
    }
    va_end(args);
    return result;
}
