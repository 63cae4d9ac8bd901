#include "session/ShutdownBlockReason.h"

namespace Orvanta::Deskweave {

ShutdownBlockReason::ShutdownBlockReason(HWND window, const std::wstring& reasonText, UINT reasonResourceId)
    : window_(window), reasonText_(reasonText), reasonResourceId_(reasonResourceId)
{
    // The functions exist from major version 6 on; looked up at run time so that the agent still
    // starts where they are missing.
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version));
    if (version.dwMajorVersion >= 6) {
        user32Module_.reset(LoadLibraryW(L"user32.dll"));
        if (user32Module_) {
            // Through the generic function type, which every function pointer may be cast to and back.
            using Generic = void (*)();
            createFunction_ = reinterpret_cast<CreateFunction>(
                reinterpret_cast<Generic>(GetProcAddress(user32Module_.get(), "ShutdownBlockReasonCreate")));
            destroyFunction_ = reinterpret_cast<DestroyFunction>(
                reinterpret_cast<Generic>(GetProcAddress(user32Module_.get(), "ShutdownBlockReasonDestroy")));
        }
    }
}

ShutdownBlockReason::~ShutdownBlockReason()
{
    // The reason goes before the module that holds its functions.
    if (created_ && destroyFunction_ != nullptr) {
        destroyFunction_(window_);
    }
}

void ShutdownBlockReason::Create()
{
    if (created_ || createFunction_ == nullptr) {
        return;
    }
    const std::wstring fallback = reasonText_.empty() ? std::wstring(L"Pending Operation...") : reasonText_;
    wchar_t loaded[1024] = {};
    const int length = LoadStringW(GetModuleHandleW(nullptr), reasonResourceId_, loaded, _countof(loaded));
    createFunction_(window_, length != 0 ? loaded : fallback.c_str());
    created_ = true;
}

void ShutdownBlockReason::Destroy()
{
    if (created_ && destroyFunction_ != nullptr) {
        destroyFunction_(window_);
        created_ = false;
    }
}

} // namespace Orvanta::Deskweave
