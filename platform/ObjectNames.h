#pragma once

// The names by which other programs reach the agent or the agent reaches them. The stop tool, the
// development tools and the tests include this file, so a name is spelled in one place only.
namespace Orvanta::Deskweave {

// Per logon session ("Local\"): the instance guard that keeps one agent to a session.
constexpr wchar_t kInstanceMutexName[] = L"Local\\OrvantaSyncAgent";
// Machine-wide ("Global\") and manual-reset: one signal ends the agents of every logon session.
constexpr wchar_t kTerminateEventName[] = L"Global\\HalyardTerminate";

// Everything the agent starts or loads lives in the agent's own folder and is started from there by
// full path, never found through the current directory or PATH.
constexpr wchar_t kAgentProgram[] = L"Halyard.exe";
constexpr wchar_t kSyncMonitorProgram[] = L"OrvantaSyncMonitor.exe";
constexpr wchar_t kSyncApplicationProgram[] = L"OrvantaSync.exe";
constexpr wchar_t kEngineLibrary[] = L"libOVSyncEngine.dll";
// The Event Log source of the agent and the stop tool, in the Application log. The package registers
// it with Halyard.exe as its message file.
constexpr wchar_t kEventSourceName[] = L"Halyard";

} // namespace Orvanta::Deskweave
