// COM start and stop for the calling thread. Calls are counted per thread and must balance.
#pragma once

#include "platform/win32/Win32.h"

HRESULT CoInitialize(void* pvReserved);
void CoUninitialize();

// Number of CoInitialize calls on this thread not yet balanced by CoUninitialize.
int CoInitializeDepth();

// Owns one CoInitialize of the calling thread.
class CComScope {
public:
    CComScope() : m_hr(CoInitialize(nullptr)) {}
    ~CComScope() {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};
