#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Orvanta::Deskweave {

// The headers and export names of an image file, read from the file without loading it: no code of
// the image runs. Every offset is checked against the file, so a damaged or hostile file reads as no
// image, never as a crash.
class PeImage
{
public:
    // 0; the Win32 error of opening or reading the file; or ERROR_BAD_EXE_FORMAT for no PE image.
    DWORD Read(const std::wstring& path);

    WORD Machine() const { return machine_; }
    bool IsDll() const { return dll_; }
    const std::vector<std::string>& ExportNames() const { return exportNames_; }

private:
    WORD machine_ = 0;
    bool dll_ = false;
    std::vector<std::string> exportNames_;
};

} // namespace Orvanta::Deskweave
