#pragma once

#include <windows.h>

// Posted by notification threads so that the shutdown-block reason is only ever touched on the
// window's own thread.
#define WM_CREATESHUTDOWNREASON (WM_USER + 100)
#define WM_DESTROYSHUTDOWNREASON (WM_USER + 101)

namespace Orvanta::Deskweave {
constexpr wchar_t kWindowClassName[] = L"OrvantaSyncAgentWindowClass";
} // namespace Orvanta::Deskweave
