#include "admin/check/InstallChecks.h"

#include "admin/start/AgentStart.h"
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

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
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
    const std::wstring runKey = L"HKLM\\" + std::wstring(kRunKey) + L"\\" + kRunValue;
    if (IsOn(HKEY_LOCAL_MACHINE, kExplorerPolicyKey, kDisableMachineRunValue) ||
        (context.userSession && IsOn(HKEY_CURRENT_USER, kExplorerPolicyKey, kDisableMachineRunValue))) {
        return {
            "install.run", CheckResult::Failure,
            L"the policy DisableLocalMachineRun (\"Do not process the legacy run list\") keeps Windows from running "
            L"the machine's Run key: no agent starts at logon; turn the policy off"};
    }
    DWORD error = 0;
    const std::wstring command = LogonStartCommand(error);
    if (command.empty()) {
        return {"install.run", CheckResult::Failure,
                runKey + L" cannot be read (error " + std::to_wstring(error) +
                    L"): no agent starts at logon; repair the package"};
    }
    if (!SamePath(command, L"\"" + agent + L"\"")) {
        return {"install.run", CheckResult::Failure,
                runKey + L" runs " + command + L", not \"" + agent +
                    L"\": logon starts another program; repair the package"};
    }
    return {"install.run", CheckResult::Ok, L"logon starts " + command};
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
    if (!SamePath(file, agent)) {
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
    if (!SamePath(remembered, context.folder)) {
        return {"install.folder", CheckResult::Warning,
                L"upgrades install into " + remembered + L", not this folder: the agent run at logon is another copy"};
    }
    return {"install.folder", CheckResult::Ok, L"upgrades stay in " + remembered};
}

} // namespace

void CheckInstallation(const CheckContext& context, Checks& checks)
{
    const std::wstring agent = context.folder + L"\\" + kAgentProgram;
    checks.push_back(Files(context, agent));
    checks.push_back(LogonStart(context, agent));
    checks.push_back(EventSource(agent));
    checks.push_back(InstallFolder(context));
}

} // namespace Orvanta::Deskweave
