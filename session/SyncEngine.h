#pragma once

// The closed sync engine, libOVSyncEngine.dll, imported by name at load time. Statuses are signed:
// negative means failure.
extern "C" {
__declspec(dllimport) int OvInitializeIPC2(int version, bool flag);
__declspec(dllimport) int OvPrepareForLogoff();
__declspec(dllimport) int OvUninitialize();
}
