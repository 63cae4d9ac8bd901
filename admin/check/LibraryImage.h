#pragma once

#include "platform/UniqueResource.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace Orvanta::Deskweave {

// A library as the agent's LoadLibraryExW and GetProcAddress take it, with none of its code run. The
// file is opened with the loader's access and sharing and mapped as an image by the system, which
// refuses what the loader refuses (a truncated file, damaged headers or sections, another machine's
// code); the loader itself is never asked, so no DllMain, TLS callback or import of it runs, and no
// library it names is loaded. GetProcAddress's search is then made on the mapped image as Wine's
// loader makes it, every read checked, so that a damaged export table reads as what it makes of the
// agent (the name not found, or a read that crashes it) instead of crashing the reader.
// Not examined, because only running the library shows them: a library it imports that is missing
// (8007007E), its start-up code failing or crashing (8007045A, 800703E6), a preferred address that
// the agent's process has taken for a library that cannot be relocated (800701E7).
class LibraryImage
{
public:
    // How far the agent's load gets.
    enum class Stage {
        NotOpened, // the file cannot be opened as the loader opens it
        NotMapped, // the system refuses it as an image, or it is another machine's
        NoHeaders, // mapped, but its headers are not there once mapped: Wine's loader crashes on it
        Mapped,    // loaded; its entry points are looked up
    };
    // What GetProcAddress makes of an entry point.
    enum class Lookup {
        Found,
        NotFound,     // 8007007F
        Forwarded,    // to another library's function, which is not followed here
        ReadsOutside, // the search reads memory outside the image: Wine's GetProcAddress crashes
    };

    // Opens and maps the library; 0, or the Win32 error that the agent's load fails with (the agent
    // logs its HRESULT). Everything read before is dropped first, so a failure leaves nothing.
    DWORD Map(const std::wstring& path);
    Stage GetStage() const { return stage_; }
    // The machine of the file's own headers, also of one the system refused; 0 when unreadable.
    WORD Machine() const { return machine_; }
    // Mapped images only. forwardedTo: for Forwarded, the forwarder ("LIBRARY.Function").
    Lookup Find(const char* name, std::string& forwardedTo) const;

private:
    struct ViewTraits {
        static const BYTE* Invalid() noexcept { return nullptr; }
        static void Close(const BYTE* view) noexcept { UnmapViewOfFile(view); }
    };

    bool Read(long long rva, void* buffer, size_t length) const;
    // Bytes from rva on that can be read, up to `limit`.
    size_t ReadableFrom(long long rva, size_t limit) const;
    // strcmp of the NUL-terminated name at rva with `name`, reading no further than strcmp does;
    // false when it reaches memory it cannot read.
    bool Compare(long long rva, const char* name, int& order) const;
    Lookup FindOrdinal(DWORD ordinal, DWORD exportsRva, DWORD exportsSize, std::string& forwardedTo) const;

    Stage stage_ = Stage::NotOpened;
    WORD machine_ = 0;
    UniqueFileHandle file_;
    UniqueHandle section_;
    UniqueResource<const BYTE*, ViewTraits> view_;
    // The committed, readable spans of the view, as offsets from its start, in order.
    std::vector<std::pair<size_t, size_t>> readable_;
};

} // namespace Orvanta::Deskweave
