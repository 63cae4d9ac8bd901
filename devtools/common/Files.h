#pragma once

#include <string>
#include <vector>

// Whole-file reads and writes for the development tools, tests and benchmarks.
namespace HalyardDev {

// Reads a file that another process may still be writing (the agent's log, a stand-in's record);
// empty when it cannot be opened.
std::string ReadFileBytes(const std::wstring& path);
// Creates or replaces the file; false when it cannot be written.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// File names in a folder matching a pattern ("*" for all), without "." and "..", sorted ordinally.
std::vector<std::wstring> ListFolder(const std::wstring& folder, const std::wstring& pattern = L"*");
// Deletes a file, or a folder with everything in it.
void DeleteTree(const std::wstring& path);

} // namespace HalyardDev
