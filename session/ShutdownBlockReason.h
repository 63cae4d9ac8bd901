#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

#include <string>

namespace Orvanta::Deskweave {

// The text the platform shows when the user logs off while uploads are pending. Create and Destroy
// must run on the window's thread. Where the platform lacks the functions, both do nothing.
class ShutdownBlockReason
{
public:
    ShutdownBlockReason(HWND window, const std::wstring& reasonText, UINT reasonResourceId);
    ~ShutdownBlockReason();

    ShutdownBlockReason(const ShutdownBlockReason&) = delete;
    ShutdownBlockReason& operator=(const ShutdownBlockReason&) = delete;

    void Create();
    void Destroy();

    HWND Window() const { return window_; }

private:
    using CreateFunction = BOOL(WINAPI*)(HWND, LPCWSTR);
    using DestroyFunction = BOOL(WINAPI*)(HWND);

    HWND window_;
    UniqueModule user32Module_;
    bool created_ = false;
    std::wstring reasonText_;
    UINT reasonResourceId_;
    CreateFunction createFunction_ = nullptr;
    DestroyFunction destroyFunction_ = nullptr;
};

} // namespace Orvanta::Deskweave
