#include "admin/common/SecurityReview.h"

#include "platform/UniqueResource.h"

#include <sddl.h>

#include <iterator>

namespace Orvanta::Deskweave {
namespace {

// NT SERVICE\TrustedInstaller, which owns what Windows itself installs.
const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3425439555-4228271513-2283512549-1433233245";

struct Right {
    DWORD mask;
    const wchar_t* what;
};

const Right kFolderRights[] = {
    {FILE_ADD_FILE, L"create files in it (FILE_ADD_FILE)"},
    {FILE_ADD_SUBDIRECTORY, L"create folders in it (FILE_ADD_SUBDIRECTORY)"},
    {FILE_DELETE_CHILD, L"delete what is in it (FILE_DELETE_CHILD)"},
    {DELETE, L"delete or rename it (DELETE)"},
    {WRITE_DAC, L"change its permissions (WRITE_DAC)"},
    {WRITE_OWNER, L"take its ownership (WRITE_OWNER)"},
};
const Right kFileRights[] = {
    {FILE_WRITE_DATA, L"write it (FILE_WRITE_DATA)"},   {FILE_APPEND_DATA, L"append to it (FILE_APPEND_DATA)"},
    {DELETE, L"delete or rename it (DELETE)"},          {WRITE_DAC, L"change its permissions (WRITE_DAC)"},
    {WRITE_OWNER, L"take its ownership (WRITE_OWNER)"},
};
const Right kParentRights[] = {
    {FILE_DELETE_CHILD, L"delete or rename what is in it, the install folder too (FILE_DELETE_CHILD)"},
    // Renamed away, it leaves its path free for a folder of that account's own.
    {DELETE, L"delete or rename it, and with it the install folder's path (DELETE)"},
    {WRITE_DAC, L"change its permissions (WRITE_DAC)"},
    {WRITE_OWNER, L"take its ownership (WRITE_OWNER)"},
};

std::wstring SidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return L"(a SID)";
    }
    const UniqueLocalMemory owner(text);
    return text;
}

std::wstring AccountName(PSID sid)
{
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = _countof(name);
    DWORD domainLength = _countof(domain);
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        return SidText(sid);
    }
    return domain[0] != L'\0' ? std::wstring(domain) + L"\\" + name : std::wstring(name);
}

bool IsTrusted(PSID sid, PSID trusted)
{
    PSID installer = nullptr;
    bool isInstaller = false;
    if (ConvertStringSidToSidW(kTrustedInstaller, &installer)) {
        isInstaller = EqualSid(sid, installer) != FALSE;
        LocalFree(installer);
    }
    return isInstaller || IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           (trusted != nullptr && EqualSid(sid, trusted));
}

std::wstring Abbreviated(DWORD mask)
{
    switch (mask) {
    case FILE_ALL_ACCESS:
        return L"F";
    case 0x1301BF:
        return L"M";
    case 0x1200A9:
        return L"RX";
    case 0x120089:
        return L"R";
    case 0x100116:
        return L"W";
    default:
        wchar_t text[16] = {};
        _snwprintf_s(text, _countof(text), _TRUNCATE, L"0x%lX", mask);
        return text;
    }
}

} // namespace

std::wstring FindWriter(PSECURITY_DESCRIPTOR descriptor, Guarded kind, PSID trusted)
{
    const Right* rights = kind == Guarded::Folder ? kFolderRights : kind == Guarded::File ? kFileRights : kParentRights;
    const size_t count = kind == Guarded::Folder ? std::size(kFolderRights)
                         : kind == Guarded::File ? std::size(kFileRights)
                                                 : std::size(kParentRights);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr && !IsTrusted(owner, trusted)) {
        return AccountName(owner) + L" (" + SidText(owner) + L") owns it, and an owner may change its permissions";
    }
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
        return L"everyone may do anything with it (it has a null DACL)";
    }
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) {
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        // A callback entry's condition is not evaluated here: it is taken to hold.
        if ((header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) ||
            (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        // OWNER RIGHTS stands for the owner, which is trusted by now.
        if (IsTrusted(sid, trusted) || IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) {
            continue;
        }
        DWORD mask = allowed->Mask;
        MapGenericMask(&mask, &mapping);
        for (size_t r = 0; r < count; ++r) {
            if ((mask & rights[r].mask) != 0) {
                return AccountName(sid) + L" (" + SidText(sid) + L") may " + rights[r].what;
            }
        }
    }
    return {};
}

std::wstring InheritOnlyEntries(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    std::wstring entries;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
        return entries;
    }
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) {
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        const BYTE flags = header->AceFlags;
        if ((header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) ||
            (flags & CONTAINER_INHERIT_ACE) == 0 || (flags & INHERIT_ONLY_ACE) == 0) {
            continue;
        }
        const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        std::wstring text = AccountName(const_cast<DWORD*>(&entry->SidStart)) + L" ";
        text += header->AceType == ACCESS_DENIED_ACE_TYPE ? L"(DENY)" : L"";
        text += (flags & OBJECT_INHERIT_ACE) != 0 ? L"(OI)" : L"";
        text += L"(CI)(IO)";
        text += (flags & NO_PROPAGATE_INHERIT_ACE) != 0 ? L"(NP)" : L"";
        // As icacls shows them: generic rights as the file rights they stand for.
        DWORD mask = entry->Mask;
        GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        MapGenericMask(&mask, &mapping);
        entries += (entries.empty() ? L"" : L"; ") + text + L"(" + Abbreviated(mask) + L")";
    }
    return entries;
}

std::vector<BYTE> ReadSecurity(const std::wstring& path, DWORD& error)
{
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    GetFileSecurityW(path.c_str(), parts, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    error = 0;
    if (needed == 0 || !GetFileSecurityW(path.c_str(), parts, descriptor.data(), needed, &needed)) {
        error = GetLastError();
        descriptor.clear();
    }
    return descriptor;
}

PSID TrustedCaller(std::vector<BYTE>& buffer)
{
    BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(administrators);
    BOOL member = FALSE;
    HANDLE opened = nullptr;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !CheckTokenMembership(nullptr, administrators, &member) || !member ||
        // An immediate package action runs impersonating the user who installs.
        (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &opened) &&
         !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened))) {
        return nullptr;
    }
    const UniqueHandle token(opened);
    buffer.assign(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE, 0);
    DWORD length = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &length)) {
        return nullptr;
    }
    return reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
}

} // namespace Orvanta::Deskweave
