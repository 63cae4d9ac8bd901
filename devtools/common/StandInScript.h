#pragma once

#include <windows.h>

#include <string>

// The development stand-ins of the engine and the companion programs take their script from, and
// record into, the folder named by the environment variable HALYARD_STANDIN_DIR. Children inherit the
// environment, so one variable set by a test reaches the agent, the engine it loads and the programs
// it starts.
namespace HalyardDev {

constexpr wchar_t kStandInFolderVariable[] = L"HALYARD_STANDIN_DIR";
// The engine's script (section [engine]) and the two records.
constexpr wchar_t kEngineScript[] = L"engine.ini";
constexpr wchar_t kEngineCallsRecord[] = L"engine-calls.log";
constexpr wchar_t kChildrenRecord[] = L"children.log";
// The current folder of every companion program started, which is its starter's (the agent's).
constexpr wchar_t kChildrenFoldersRecord[] = L"children-folders.log";

// Appends one line to a record of the folder; nothing when no folder is set.
void AppendRecord(const wchar_t* record, const std::wstring& line);
// A number from the engine's script, or the fallback.
int ReadScriptInt(const wchar_t* key, int fallback);
// A text from the engine's script, or empty.
std::wstring ReadScriptText(const wchar_t* key);

} // namespace HalyardDev
