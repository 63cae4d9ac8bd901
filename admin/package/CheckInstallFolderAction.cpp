// The package's guard: the agent loads the engine and starts the companion programs only from its own
// folder, so it is installed only into a folder that holds the client's engine. Anywhere else every
// logon would start an agent that can never connect. And what is installed there runs in every user's
// session and, through the administrators' tools, as the system account: a folder that an account other
// than the administrators' may change (or rename away, through its parent) would let that account run
// its own code so. Runs before anything is changed; a refusal ends the install with 1603 and says in the
// package log why, naming the account and the right. An upgrade or a repair of an installation made
// before such folders were refused goes on, with a warning in the package log and the Event Log: there
// would be no way through otherwise, and the folder is as it was before.
#include "admin/common/SecurityReview.h"
#include "admin/package/PackageLog.h"
#include "platform/EventLog.h"
#include "platform/ObjectNames.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "HalyardEvents.h"

using namespace Orvanta::Deskweave;

namespace {

std::wstring Property(MSIHANDLE install, const wchar_t* name)
{
    DWORD length = 0;
    wchar_t empty[1] = {};
    if (MsiGetPropertyW(install, name, empty, &length) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring value(++length, L'\0');
    if (MsiGetPropertyW(install, name, value.data(), &length) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(length);
    return value;
}

// Why the folder is refused, or empty; `writable` when it is for who may change it.
std::wstring Refusal(const std::wstring& folder, bool& writable, std::wstring& writer)
{
    const std::wstring engine = folder + kEngineLibrary;
    const DWORD attributes = GetFileAttributesW(engine.c_str());
    if (folder.empty() || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return std::wstring(L"Halyard: ") + kEngineLibrary + L" not found in " +
               (folder.empty() ? L"(no folder)" : folder) +
               L". Install Halyard into the Orvanta sync client's folder, the one that holds " + kEngineLibrary +
               L": msiexec /i <package> INSTALLDIR=\"<client folder>\".";
    }
    std::vector<BYTE> callerSid;
    const PSID trusted = TrustedCaller(callerSid);
    const std::wstring self = folder.substr(0, folder.size() - 1);
    const size_t separator = self.find_last_of(L'\\');
    const std::wstring parent =
        separator == std::wstring::npos ? std::wstring() : self.substr(0, separator) + (separator == 2 ? L"\\" : L"");
    for (const auto& [path, kind] :
         {std::pair<std::wstring, Guarded>{self, Guarded::Folder}, {parent, Guarded::Parent}}) {
        if (path.empty()) {
            continue;
        }
        DWORD error = 0;
        std::vector<BYTE> descriptor = ReadSecurity(path, error);
        writer = descriptor.empty() ? L"its permissions cannot be read (error " + std::to_wstring(error) + L")"
                                    : FindWriter(descriptor.data(), kind, trusted);
        if (!writer.empty()) {
            writable = true;
            writer.insert(0, path + L": ");
            std::wstring message = L"Halyard: ";
            message += writer;
            message += L". What is installed in ";
            message += folder;
            message += L" runs in every user's session and as the system account, so only Administrators, the "
                       L"system account and TrustedInstaller may change it and the folder above it. Give the "
                       L"client's folder such permissions, or install the client and Halyard into one that has them "
                       L"(Program Files).";
            return message;
        }
    }
    return {};
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckInstallFolder(MSIHANDLE install)
{
    try {
        std::wstring folder = Property(install, L"INSTALLDIR");
        if (!folder.empty() && folder.back() != L'\\') {
            folder += L'\\';
        }
        bool writable = false;
        std::wstring writer;
        const std::wstring refusal = Refusal(folder, writable, writer);
        if (refusal.empty()) {
            return ERROR_SUCCESS;
        }
        const bool upgrade = !Property(install, L"WIX_UPGRADE_DETECTED").empty();
        if (writable && (upgrade || !Property(install, L"Installed").empty())) {
            const std::wstring how = upgrade ? L"upgraded" : L"repaired";
            ProcessMessage(install, INSTALLMESSAGE_INFO,
                           L"Halyard: warning: " + writer + L". This package " + how +
                               L" the installation there all the same, since it was made before such folders were "
                               L"refused; until only Administrators, the system account and TrustedInstaller may "
                               L"change the folder and the one above it, that account can run its own code in every "
                               L"user's session and as the system account.");
            EventLog::Report(EVENTLOG_WARNING_TYPE, HALYARD_EVENT_INSTALLED_INTO_WRITABLE_FOLDER,
                             {how, folder, writer});
            return ERROR_SUCCESS;
        }
        ProcessMessage(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), refusal);
    } catch (...) {
        ProcessMessage(install, INSTALLMESSAGE_INFO, L"Halyard: the install folder could not be checked");
    }
    return ERROR_INSTALL_FAILURE;
}
