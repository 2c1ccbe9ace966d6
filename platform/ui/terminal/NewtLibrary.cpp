#include "platform/ui/terminal/NewtLibrary.h"

#include <dlfcn.h>

#include <memory>
#include <stdexcept>

namespace enlistor::terminal_ui {
namespace {

struct Loaded {
    std::unique_ptr<const NewtLibrary> library;
    std::string failure;
};

Loaded load() {
    Loaded result;
    // slang comes with newt, which needs it: both are found through newt's handle.
    void* handle = ::dlopen(ENLISTOR_NEWT_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = ::dlerror();
        result.failure = std::string("the terminal dialog cannot be loaded (") +
                         (error != nullptr ? error : ENLISTOR_NEWT_SONAME) + ")";
        return result;
    }
    auto library = std::make_unique<NewtLibrary>();
    std::string missing;
    const auto find = [&](const char* name) {
        void* symbol = ::dlsym(handle, name);
        if (symbol == nullptr && missing.empty())
            missing = name;
        return symbol;
    };
#define ENLISTOR_NEWT_RESOLVE(name) library->name = reinterpret_cast<decltype(&::name)>(find(#name));
    ENLISTOR_NEWT_FUNCTIONS(ENLISTOR_NEWT_RESOLVE)
#undef ENLISTOR_NEWT_RESOLVE
    library->SLang_TT_Read_FD = static_cast<int*>(find("SLang_TT_Read_FD"));
    library->SLang_Input_Buffer_Len = static_cast<unsigned int*>(find("SLang_Input_Buffer_Len"));
    if (!missing.empty()) {
        ::dlclose(handle);
        result.failure = "the terminal dialog cannot be loaded (" ENLISTOR_NEWT_SONAME " has no " + missing + ")";
        return result;
    }
    result.library = std::move(library); // the libraries stay loaded for the rest of the process
    return result;
}

const Loaded& loaded() {
    static const Loaded once = load();
    return once;
}

} // namespace

const NewtLibrary* LoadNewt(std::string* whyNot) {
    const Loaded& state = loaded();
    if (!state.library && whyNot != nullptr)
        *whyNot = state.failure;
    return state.library.get();
}

const NewtLibrary& Newt() {
    std::string why;
    const NewtLibrary* library = LoadNewt(&why);
    if (library == nullptr)
        throw std::runtime_error(why);
    return *library;
}

} // namespace enlistor::terminal_ui
