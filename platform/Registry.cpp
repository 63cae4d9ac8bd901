#include "platform/Registry.h"

namespace Orvanta::Deskweave {

LONG Registry::Open(HKEY root, const wchar_t* subKey, REGSAM access)
{
    HKEY key = nullptr;
    const LONG status = RegOpenKeyExW(root, subKey, 0, access, &key);
    if (status == ERROR_SUCCESS) {
        key_.reset(key);
    }
    return status;
}

LONG Registry::QueryStringValue(const wchar_t* valueName, wchar_t* buffer, ULONG& size, DWORD* type)
{
    DWORD read = 0;
    DWORD bytes = size;
    const LONG status =
        RegQueryValueExW(key_.get(), valueName, nullptr, &read, reinterpret_cast<BYTE*>(buffer), &bytes);
    if (status == ERROR_SUCCESS) {
        size = bytes / sizeof(wchar_t);
    }
    if (type != nullptr) {
        *type = read;
    }
    return status;
}

LONG Registry::QueryDWORDValue(const wchar_t* valueName, DWORD& value)
{
    DWORD type = 0;
    DWORD data = 0;
    DWORD bytes = sizeof(data);
    const LONG status = RegQueryValueExW(key_.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes);
    if (status == ERROR_SUCCESS) {
        value = data;
    }
    return status;
}

void Registry::Close()
{
    key_.reset();
}

} // namespace Orvanta::Deskweave
