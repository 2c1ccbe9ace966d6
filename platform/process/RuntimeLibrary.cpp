#include "platform/process/RuntimeLibrary.h"

#include <dlfcn.h>

RuntimeLibrary::RuntimeLibrary(const char* soname) : m_soname(soname) {
    m_handle = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* error = ::dlerror();
        m_failure = error != nullptr ? error : m_soname + " cannot be loaded";
    }
}

void* RuntimeLibrary::Find(const char* name) {
    if (m_handle == nullptr)
        return nullptr;
    void* address = ::dlsym(m_handle, name);
    if (address == nullptr && m_failure.empty())
        m_failure = m_soname + " has no " + name;
    return address;
}
