// newt and slang for the terminal front end, loaded when the terminal dialog is first asked for rather than with the
// program: the command line never draws a dialog, and mapping both libraries cost a noticeable part of each of its
// runs. Internal to platform/ui/terminal.
#pragma once

#include <newt.h>
#include <slang.h>

#include <string>

namespace enlistor::terminal_ui {

// The functions (and slang's two variables) the front end uses, by their own names.
#define ENLISTOR_NEWT_FUNCTIONS(X)                                                                                     \
    X(newtCls)                                                                                                         \
    X(newtCompactButton)                                                                                               \
    X(newtComponentTakesFocus)                                                                                         \
    X(newtEntry)                                                                                                       \
    X(newtEntryGetValue)                                                                                               \
    X(newtEntrySet)                                                                                                    \
    X(newtFinished)                                                                                                    \
    X(newtForm)                                                                                                        \
    X(newtFormAddComponent)                                                                                            \
    X(newtFormAddHotKey)                                                                                               \
    X(newtFormDestroy)                                                                                                 \
    X(newtFormRun)                                                                                                     \
    X(newtFormSetCurrent)                                                                                              \
    X(newtFormSetTimer)                                                                                                \
    X(newtGetScreenSize)                                                                                               \
    X(newtInit)                                                                                                        \
    X(newtLabel)                                                                                                       \
    X(newtLabelSetColors)                                                                                              \
    X(newtLabelSetText)                                                                                                \
    X(newtOpenWindow)                                                                                                  \
    X(newtPopWindow)                                                                                                   \
    X(newtRefresh)                                                                                                     \
    X(newtTextbox)                                                                                                     \
    X(newtTextboxSetText)                                                                                              \
    X(SLang_getkey)                                                                                                    \
    X(SLang_input_pending)                                                                                             \
    X(SLang_reset_tty)                                                                                                 \
    X(SLsmg_reset_smg)                                                                                                 \
    X(SLtt_initialize)                                                                                                 \
    X(SLtt_set_mono)                                                                                                   \
    X(SLutf8_is_utf8_mode)

struct NewtLibrary {
#define ENLISTOR_NEWT_MEMBER(name) decltype(&::name) name = nullptr;
    ENLISTOR_NEWT_FUNCTIONS(ENLISTOR_NEWT_MEMBER)
#undef ENLISTOR_NEWT_MEMBER
    int* SLang_TT_Read_FD = nullptr;
    unsigned int* SLang_Input_Buffer_Len = nullptr;
};

// Loads the libraries once; nullptr when they (or one of the names) cannot be found, with the reason in whyNot.
const NewtLibrary* LoadNewt(std::string* whyNot = nullptr);

// The loaded library; throws std::runtime_error naming the reason when it cannot be loaded.
const NewtLibrary& Newt();

} // namespace enlistor::terminal_ui
