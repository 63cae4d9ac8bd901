#pragma once

#include <string>

// UTF-8 for what the development tools print, record and compare; UTF-16 for what Windows takes.
namespace HalyardDev {

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

} // namespace HalyardDev
