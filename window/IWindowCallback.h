#pragma once

#include <windows.h>

namespace Orvanta::Deskweave {

// Receives the hidden window's messages, always on the window's thread. Each operation returns true
// when it handled the message, and then the window answers with what it stored in *result;
// false hands the message to default processing.
class IWindowCallback
{
public:
    virtual ~IWindowCallback() = default;
    virtual bool OnCreate(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) = 0;
    virtual bool OnDestroy(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) = 0;
    virtual bool OnTimer(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) = 0;
    virtual bool OnQueryEndSession(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) = 0;
    virtual bool OnEndSession(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) = 0;
    virtual bool OnCreateShutdownReason(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) = 0;
    virtual bool OnDestroyShutdownReason(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result) = 0;
};

} // namespace Orvanta::Deskweave
