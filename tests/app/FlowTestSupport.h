// The registration dialog with its settings store and registration replaced by scripted ones that log each call,
// so a test sees the dialog's whole order of operations in one log with the window's calls.
#pragma once

#include "app/EnlistorUtilityDlg.h"
#include "tests/ui/ScriptedWindow.h"

#include <array>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace enlistor::test {

using Settings = std::array<CString, 5>;

inline std::string Joined(const Settings& s) {
    return s[0] + "|" + s[1] + "|" + s[2] + "|" + s[3] + "|" + s[4];
}

// A registry root (and so a machine lock) of the test's own for its lifetime, so tests that run at once never meet
// at the lock, and none touches the machine's.
class PrivateRegistryRoot {
public:
    PrivateRegistryRoot() {
        std::string dir = (std::filesystem::temp_directory_path() / "enlistor-flow-XXXXXX").string();
        if (::mkdtemp(dir.data()) != nullptr) {
            m_dir = dir;
        }
        ::setenv("ENLISTOR_REGISTRY", (m_dir / "registry").c_str(), 1);
    }
    ~PrivateRegistryRoot() {
        ::unsetenv("ENLISTOR_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    PrivateRegistryRoot(const PrivateRegistryRoot&) = delete;
    PrivateRegistryRoot& operator=(const PrivateRegistryRoot&) = delete;

private:
    std::filesystem::path m_dir;
};

struct ScriptedRegistration {
    int result = 1;
    CString errorText;
};

class InjectedStoreDlg : public CEnlistorUtilityDlg {
public:
    InjectedStoreDlg(std::vector<std::string>& log, Settings& store) : m_log(log), m_store(store) {}

    std::deque<ScriptedRegistration> registrations;
    // Runs inside RegisterMachine, while the registration would be working.
    std::function<void()> duringRegistration;

    Settings Members() const {
        return {m_strDatabaseServer, m_strDBServerIP, m_strDatabaseName, m_strDBUserID, m_strDBUserPassword};
    }

protected:
    bool LoadSettings() override {
        m_log.push_back("load");
        m_strDatabaseServer = m_store[0];
        m_strDBServerIP = m_store[1];
        m_strDatabaseName = m_store[2];
        m_strDBUserID = m_store[3];
        m_strDBUserPassword = m_store[4];
        return true;
    }
    bool SaveSettings() override {
        m_store = Members();
        m_log.push_back("save " + Joined(m_store));
        return true;
    }
    RegistrationOutcome RegisterMachine() override {
        m_log.push_back("register " + Joined(m_store));
        if (duringRegistration) {
            duringRegistration();
        }
        ScriptedRegistration next;
        if (!registrations.empty()) {
            next = std::move(registrations.front());
            registrations.pop_front();
        }
        RegistrationOutcome outcome;
        outcome.result = next.result;
        outcome.errorText = next.errorText;
        return outcome;
    }

private:
    std::vector<std::string>& m_log;
    Settings& m_store;
};

// Log lines for UpdateData in one direction over the five fields.
inline std::vector<std::string> Gets() {
    return {"get 1000", "get 1001", "get 1002", "get 1003", "get 1004"};
}
inline std::vector<std::string> Sets(const Settings& s) {
    return {"set 1000=" + s[0], "set 1001=" + s[1], "set 1002=" + s[2], "set 1003=" + s[3], "set 1004=" + s[4]};
}

inline std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The operator types all five fields.
inline std::vector<ScriptStep> TypeAll(const Settings& s) {
    return {TypeText(1000, s[0]), TypeText(1001, s[1]), TypeText(1002, s[2]), TypeText(1003, s[3]),
            TypeText(1004, s[4])};
}

} // namespace enlistor::test
