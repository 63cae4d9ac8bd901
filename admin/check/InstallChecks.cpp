#include "admin/check/InstallChecks.h"

#include "admin/common/FileIdentity.h"
#include "admin/common/RunEntry.h"
#include "admin/common/SecurityReview.h"
#include "platform/ObjectNames.h"
#include "platform/RegistryNames.h"

#include "HalyardProduct.h"

#include <vector>

namespace Orvanta::Deskweave {
namespace {

// "major.minor.build.revision" of a file's version resource; empty when it has none.
std::wstring FileVersion(const std::wstring& path)
{
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), nullptr));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (block.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof(*fixed)) {
        return {};
    }
    return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(fixed->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(fixed->dwFileVersionLS));
}

// A string value with references to the environment expanded, or empty with the error.
std::wstring ReadText(HKEY root, const wchar_t* key, const wchar_t* value, LONG& error)
{
    wchar_t text[1024] = {};
    DWORD bytes = sizeof(text) - sizeof(wchar_t);
    error = RegGetValueW(root, key, value, RRF_RT_REG_SZ, nullptr, text, &bytes);
    return error == ERROR_SUCCESS ? text : L"";
}

bool IsOn(HKEY root, const wchar_t* key, const wchar_t* value)
{
    DWORD data = 0;
    DWORD bytes = sizeof(data);
    return RegGetValueW(root, key, value, RRF_RT_REG_DWORD, nullptr, &data, &bytes) == ERROR_SUCCESS && data != 0;
}

Check Files(const CheckContext& context, const std::wstring& agent)
{
    const std::wstring version = FileVersion(agent);
    const std::wstring own = L"" HALYARD_VERSION_WIDE;
    if (GetFileAttributesW(agent.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return {"install.files", CheckResult::Failure,
                L"no " + std::wstring(kAgentProgram) + L" in " + context.folder +
                    L": run the checker where the package installed the agent, the client's folder"};
    }
    // The checker's own version has three or four parts; the resource always four.
    if (version != own && version != own + L".0") {
        return {"install.files", CheckResult::Warning,
                std::wstring(kAgentProgram) + L" is version " + (version.empty() ? L"(none)" : version) +
                    L", the checker " + own + L": files of two packages; repair or reinstall the package"};
    }
    return {"install.files", CheckResult::Ok, std::wstring(kAgentProgram) + L" " + version + L" in " + context.folder};
}

Check LogonStart(const CheckContext& context, const std::wstring& agent)
{
    const RunEntry entry = RunEntry::Read();
    const std::wstring value =
        L"HKLM\\" +
        std::wstring(entry.only32Bit ? L"Software\\Wow6432Node" + std::wstring(kRunKey).substr(8) : kRunKey) + L"\\" +
        kRunValue;
    if (entry.disabledByPolicy ||
        (context.userSession && IsOn(HKEY_CURRENT_USER, kExplorerPolicyKey, kDisableMachineRunValue))) {
        return {
            "install.run", CheckResult::Failure,
            L"the policy DisableLocalMachineRun (\"Do not process the legacy run list\") keeps Windows from running "
            L"the machine's Run key: no agent starts at logon; turn the policy off"};
    }
    if (entry.error != ERROR_SUCCESS) {
        return {"install.run", CheckResult::Failure,
                value + L" cannot be read (error " + std::to_wstring(entry.error) +
                    L"): no agent starts at logon; repair the package"};
    }
    if (entry.switchedOff) {
        return {"install.run", CheckResult::Failure,
                L"the logon start " + std::wstring(kRunValue) +
                    L" is switched off in Task Manager's Startup tab (or Settings > Apps > Startup), kept in HKLM\\" +
                    entry.approvalKey + L": no agent starts at logon; switch it on there"};
    }
    if (entry.program.empty()) {
        return {"install.run", CheckResult::Failure,
                value + L" runs " + entry.command +
                    L", and no such program exists: no agent starts at logon; repair "
                    L"the package"};
    }
    if (!SameFile(entry.program, agent)) {
        return {"install.run", CheckResult::Failure,
                value + L" runs " + entry.program + L", not this folder's " + kAgentProgram +
                    (!entry.quoted && entry.command.find(L' ') != std::wstring::npos
                         ? L" (its path is not quoted: Windows tries each text before a blank in turn, and that "
                           L"program is found first)"
                         : L"") +
                    L": logon starts another program; repair the package"};
    }
    if (entry.blanks) {
        return {"install.run", CheckResult::Warning,
                value + L" runs this " + kAgentProgram +
                    L" from a path with blanks, not quoted: Windows tries each "
                    L"text before a blank first (C:\\Program.exe and the like), "
                    L"and a program planted there would run; the package writes "
                    L"it quoted: repair the package"};
    }
    if (entry.only32Bit) {
        return {"install.run", CheckResult::Warning,
                L"the logon start is only in the 32-bit view, " + value +
                    L": Windows runs it at logon, but the package writes the 64-bit view; repair the package"};
    }
    return {"install.run", CheckResult::Ok, L"logon starts " + entry.command};
}

Check EventSource(const std::wstring& agent)
{
    LONG error = 0;
    const std::wstring file = ReadText(HKEY_LOCAL_MACHINE, kEventSourceKey, kEventMessageFileValue, error);
    if (file.empty()) {
        return {
            "install.eventsource", CheckResult::Warning,
            L"the Event Log source " + std::wstring(kEventSourceName) +
                L" is not registered: Event Viewer shows the entries without their descriptions; repair the package"};
    }
    if (!SameFile(file, agent)) {
        return {"install.eventsource", CheckResult::Warning,
                L"the Event Log source " + std::wstring(kEventSourceName) + L" reads its messages from " + file +
                    L", not this " + kAgentProgram + L": repair the package"};
    }
    return {"install.eventsource", CheckResult::Ok,
            L"the Event Log source " + std::wstring(kEventSourceName) + L" reads its messages from " + file};
}

Check InstallFolder(const CheckContext& context)
{
    LONG error = 0;
    std::wstring remembered = ReadText(HKEY_LOCAL_MACHINE, kInstallFolderKey, kInstallFolderValue, error);
    const std::wstring value = L"HKLM\\" + std::wstring(kInstallFolderKey) + L"\\" + kInstallFolderValue;
    if (remembered.empty()) {
        return {"install.folder", CheckResult::Warning,
                value + L" is not set: not installed by the package, or its registration is damaged; an upgrade "
                        L"needs INSTALLDIR on its command line"};
    }
    while (remembered.size() > 3 && remembered.back() == L'\\') {
        remembered.pop_back();
    }
    const DWORD engine = GetFileAttributesW((remembered + L"\\" + kEngineLibrary).c_str());
    if (engine == INVALID_FILE_ATTRIBUTES || (engine & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return {"install.folder", CheckResult::Warning,
                L"upgrades install into " + remembered + L", which holds no " + kEngineLibrary +
                    L": an upgrade without INSTALLDIR is refused (1603); give INSTALLDIR=\"<client folder>\""};
    }
    if (!SameFile(remembered, context.folder)) {
        return {"install.folder", CheckResult::Warning,
                L"upgrades install into " + remembered + L", not this folder: the agent run at logon is another copy"};
    }
    return {"install.folder", CheckResult::Ok, L"upgrades stay in " + remembered};
}

// What runs as every user and as the system account must be changeable by administrators only: a
// standard user who may write the folder, its parent or one of its programs could put code of their own
// there, and a library planted beside a program is loaded before the system's.
Check Permissions(const CheckContext& context)
{
    std::vector<BYTE> callerSid;
    const PSID trusted = TrustedCaller(callerSid);
    const size_t parentEnd = context.folder.find_last_of(L'\\');
    struct Reviewed {
        std::wstring path;
        Guarded kind;
    };
    std::vector<Reviewed> reviewed = {{context.folder, Guarded::Folder}};
    if (parentEnd != std::wstring::npos) {
        const std::wstring parent = context.folder.substr(0, parentEnd);
        reviewed.push_back({parent.size() == 2 ? parent + L"\\" : parent, Guarded::Parent});
    }
    for (const wchar_t* file : {kAgentProgram, L"HalyardStop.exe", L"HalyardCheck.exe", kEngineLibrary,
                                kSyncMonitorProgram, kSyncApplicationProgram}) {
        reviewed.push_back({context.folder + L"\\" + file, Guarded::File});
    }
    std::wstring writers;
    std::wstring unread;
    for (const Reviewed& item : reviewed) {
        DWORD error = 0;
        std::vector<BYTE> descriptor = ReadSecurity(item.path, error);
        if (descriptor.empty()) {
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                unread += (unread.empty() ? L"" : L", ") + item.path + L" (error " + std::to_wstring(error) + L")";
            }
            continue;
        }
        const std::wstring writer = FindWriter(descriptor.data(), item.kind, trusted);
        writers += writer.empty() ? L"" : (writers.empty() ? L"" : L"; ") + item.path + L": " + writer;
    }
    if (!writers.empty()) {
        return {"install.permissions", CheckResult::Failure,
                writers + L": such an account can put its own code where it runs in every user's session and as the "
                          L"system account; let only Administrators and the system account change the folder, or "
                          L"install the client and Halyard into one that is so"};
    }
    if (!unread.empty()) {
        return {"install.permissions", CheckResult::Skipped, L"the permissions of " + unread + L" cannot be read"};
    }
    return {"install.permissions", CheckResult::Ok,
            L"only Administrators, the system account and TrustedInstaller may change " + context.folder +
                L", its programs and libraries"};
}

} // namespace

void CheckInstallation(const CheckContext& context, Checks& checks)
{
    const std::wstring agent = context.folder + L"\\" + kAgentProgram;
    checks.push_back(Files(context, agent));
    checks.push_back(LogonStart(context, agent));
    checks.push_back(EventSource(agent));
    checks.push_back(InstallFolder(context));
    checks.push_back(Permissions(context));
}

} // namespace Orvanta::Deskweave
