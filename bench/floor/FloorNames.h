#pragma once

// The names by which the benchmark finds and ends its floor program, as ObjectNames.h holds the agent's.
namespace HalyardBench {

constexpr wchar_t kFloorWindowClass[] = L"HalyardFloorWindowClass";
constexpr wchar_t kFloorTerminateEvent[] = L"Global\\HalyardFloorTerminate";
constexpr wchar_t kFloorInstanceMutex[] = L"Local\\HalyardFloorInstance";

} // namespace HalyardBench
