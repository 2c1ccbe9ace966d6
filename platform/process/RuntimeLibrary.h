// A shared library opened by its soname when a part of the program first needs it (the TLS probe's libssl, the
// terminal dialog's newt) instead of being named among the program's ELF dependencies, so that a run which never
// needs it neither maps nor relocates it. cmake/EnlistorRuntimeLibraries.cmake gives each soname to the sources and
// names the library in the packages' dependencies.
#pragma once

#include <string>

class RuntimeLibrary {
public:
    // Opens the library (every symbol bound now, none made global). It stays loaded for the rest of the process.
    explicit RuntimeLibrary(const char* soname);
    RuntimeLibrary(const RuntimeLibrary&) = delete;
    RuntimeLibrary& operator=(const RuntimeLibrary&) = delete;

    // The address of a function or variable of the library (or of a library it needs); nullptr when it has none.
    void* Find(const char* name);
    // Sets pointer to the named function or variable, as Find finds it.
    template <typename Pointer>
    void Resolve(Pointer& pointer, const char* name) {
        pointer = reinterpret_cast<Pointer>(Find(name));
    }
    // Why the library cannot be used, "" while it can: the loader's own text when it did not open, else the first
    // name it lacked.
    [[nodiscard]] const std::string& Failure() const noexcept { return m_failure; }

private:
    void* m_handle = nullptr;
    std::string m_soname;
    std::string m_failure;
};
