#include "devtools/common/ScopedRegistryKey.h"

#include "platform/UniqueResource.h"

namespace HalyardDev {

ScopedRegistryKey::ScopedRegistryKey(HKEY root, const std::wstring& subKey) : root_(root), subKey_(subKey)
{
    RegDeleteTreeW(root_, subKey_.c_str());
    HKEY key = nullptr;
    RegCreateKeyExW(root_, subKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    Orvanta::Deskweave::UniqueHkey owner(key);
}

ScopedRegistryKey::~ScopedRegistryKey()
{
    Delete();
}

void ScopedRegistryKey::SetBytes(const wchar_t* name, DWORD type, const std::string& bytes)
{
    RegSetKeyValueW(root_, subKey_.c_str(), name, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void ScopedRegistryKey::SetString(const wchar_t* name, const std::wstring& value, DWORD type)
{
    const auto* data = reinterpret_cast<const char*>(value.c_str());
    SetBytes(name, type, std::string(data, (value.size() + 1) * sizeof(wchar_t)));
}

void ScopedRegistryKey::SetDword(const wchar_t* name, DWORD value)
{
    SetBytes(name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof(value)));
}

void ScopedRegistryKey::Delete()
{
    RegDeleteTreeW(root_, subKey_.c_str());
    RegDeleteKeyW(root_, subKey_.c_str());
}

} // namespace HalyardDev
