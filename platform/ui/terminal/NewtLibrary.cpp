#include "platform/ui/terminal/NewtLibrary.h"

#include "platform/process/RuntimeLibrary.h"

#include <memory>
#include <stdexcept>

namespace enlistor::terminal_ui {
namespace {

struct Loaded {
    std::unique_ptr<const NewtLibrary> library;
    std::string failure;
};

Loaded load() {
    // slang comes with newt, which needs it: its names are found through newt's handle.
    RuntimeLibrary newt(ENLISTOR_NEWT_SONAME);
    auto library = std::make_unique<NewtLibrary>();
#define ENLISTOR_NEWT_RESOLVE(name) newt.Resolve(library->name, #name);
    ENLISTOR_NEWT_FUNCTIONS(ENLISTOR_NEWT_RESOLVE)
#undef ENLISTOR_NEWT_RESOLVE
    newt.Resolve(library->SLang_TT_Read_FD, "SLang_TT_Read_FD");
    newt.Resolve(library->SLang_Input_Buffer_Len, "SLang_Input_Buffer_Len");
    Loaded result;
    if (newt.Failure().empty())
        result.library = std::move(library);
    else
        result.failure = "the terminal dialog cannot be loaded (" + newt.Failure() + ")";
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
