#include "admin/check/PolicyChecks.h"

#include "agent/PolicyGate.h"
#include "platform/RegistryNames.h"
#include "session/SyncWindowHandler.h"

#include <cwctype>

namespace Orvanta::Deskweave {
namespace {

std::wstring TypeName(DWORD type)
{
    switch (type) {
    case REG_NONE:
        return L"REG_NONE";
    case REG_SZ:
        return L"REG_SZ";
    case REG_EXPAND_SZ:
        return L"REG_EXPAND_SZ";
    case REG_MULTI_SZ:
        return L"REG_MULTI_SZ";
    case REG_DWORD:
        return L"REG_DWORD";
    case REG_QWORD:
        return L"REG_QWORD";
    case REG_BINARY:
        return L"REG_BINARY";
    default:
        return L"a value of type " + std::to_wstring(type);
    }
}

// The value as an administrator would recognise it: a text, a number or bytes.
std::wstring Describe(DWORD type, const std::vector<BYTE>& data)
{
    std::wstring text = TypeName(type);
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        const auto* characters = reinterpret_cast<const wchar_t*>(data.data());
        return text + L" \"" + std::wstring(characters, wcsnlen(characters, data.size() / sizeof(wchar_t))) + L"\"";
    }
    if ((type == REG_DWORD && data.size() == 4) || (type == REG_QWORD && data.size() == 8)) {
        unsigned long long number = 0;
        memcpy(&number, data.data(), data.size());
        return text + L" " + std::to_wstring(number);
    }
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    for (size_t i = 0; i < data.size() && i < 16; ++i) {
        text += {L' ', kHex[data[i] >> 4], kHex[data[i] & 0xF]};
    }
    return text + (data.size() > 16 ? L" ..." : L"");
}

// A value whose writer meant "on", whatever the agent makes of it.
bool LooksOn(DWORD type, const std::vector<BYTE>& data)
{
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        const auto* characters = reinterpret_cast<const wchar_t*>(data.data());
        std::wstring text(characters, wcsnlen(characters, data.size() / sizeof(wchar_t)));
        for (wchar_t& c : text) {
            c = static_cast<wchar_t>(std::towlower(c));
        }
        return text == L"1" || text == L"true" || text == L"yes" || text == L"on" || text == L"enabled";
    }
    for (const BYTE byte : data) {
        if (byte != 0) {
            return true;
        }
    }
    return false;
}

Check Drive()
{
    Registry policy;
    if (const wchar_t* refusal = CheckPolicyGate(policy)) {
        std::wstring line = refusal;
        line.pop_back();
        return {"policy.drive", CheckResult::Failure,
                L"the agent exits at logon, writing \"" + line +
                    L"\": set On-demandSyncDiskVolume (at most 29 "
                    L"characters) under HKLM\\" +
                    kPolicyKey + L", the policy \"Configure the On-demand Sync drive\""};
    }
    return {"policy.drive", CheckResult::Ok, L"On-demandSyncDiskVolume is set: the agent runs at logon"};
}

Check Permissions()
{
    const bool on = SyncWindowHandler::RetrieveAdjustPermissionsOnLogoffFromHklmRegistry();
    DWORD type = REG_NONE;
    std::vector<BYTE> data(1024);
    DWORD bytes = static_cast<DWORD>(data.size());
    const LONG read = RegGetValueW(HKEY_LOCAL_MACHINE, kPolicyKey, kAdjustPermissionsValue, RRF_RT_ANY | RRF_NOEXPAND,
                                   &type, data.data(), &bytes);
    if (read == ERROR_FILE_NOT_FOUND) {
        return {"policy.permissions", CheckResult::Ok,
                L"the permission revert is off (AdjustPermissionsOnLogoff is not set)"};
    }
    data.resize(read == ERROR_SUCCESS ? bytes : 0);
    const std::wstring value = read == ERROR_SUCCESS ? Describe(type, data) : L"a value of over 1 KiB";
    const std::wstring rule = L": the agent reads up to 4 bytes of any type as a number, on when not 0, and a longer "
                              L"value as off; set a REG_DWORD, 1 or 0";
    if (on &&
        !(type == REG_DWORD && data.size() == 4 && data[0] == 1 && data[1] == 0 && data[2] == 0 && data[3] == 0)) {
        return {"policy.permissions", CheckResult::Warning,
                L"the permission revert is read as on from " + value + rule};
    }
    if (!on && (read != ERROR_SUCCESS || LooksOn(type, data))) {
        return {"policy.permissions", CheckResult::Warning,
                L"the permission revert is read as off from " + value + rule};
    }
    return {"policy.permissions", CheckResult::Ok,
            std::wstring(L"the permission revert is ") + (on ? L"on" : L"off") + L" (" + value + L")"};
}

} // namespace

void CheckPolicy(Checks& checks)
{
    checks.push_back(Drive());
    checks.push_back(Permissions());
}

} // namespace Orvanta::Deskweave
