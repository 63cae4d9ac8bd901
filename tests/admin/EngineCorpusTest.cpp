// HalyardCheck's reading of the engine against Wine's own loader, on a few hundred damaged copies of
// the engine stand-in: cut short, headers and sections changed, export tables broken, bytes flipped.
// The loader is asked as the agent asks it, less what no check can examine without running the
// library (its imports and start-up code): LoadLibraryExW without resolving references, then
// GetProcAddress of each entry point, in a child that a crash may end.
#include "tests/support/TestSupport.h"
#include "admin/check/LibraryImage.h"

#include <cstddef>
#include <map>
#include <random>
#include <sstream>

using namespace HalyardTest;

namespace {

const char* const kEntryPoints[] = {"OvInitializeIPC2", "OvPrepareForLogoff", "OvUninitialize"};
constexpr const char* kCrash = "crash";

std::string Status(DWORD error)
{
    char text[16] = {};
    snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(HRESULT_FROM_WIN32(error)));
    return text;
}

// The loader's answer for each file of a list, one line "index answer": "load STATUS" or
// "loaded S1 S2 S3"; a crash ends the process in the middle of a line.
int AskTheLoader()
{
    SetUnhandledExceptionFilter([](EXCEPTION_POINTERS* e) -> LONG {
        // Not ExitProcess: the crash may be inside the loader, under its lock.
        TerminateProcess(GetCurrentProcess(), e->ExceptionRecord->ExceptionCode);
        return EXCEPTION_CONTINUE_SEARCH;
    });
    const Messages files = ReadLines(EnvironmentVariable(L"HALYARD_CORPUS"));
    const int from = std::stoi(Narrow(EnvironmentVariable(L"HALYARD_CORPUS_FROM")));
    FILE* answers = _wfopen(EnvironmentVariable(L"HALYARD_CORPUS_ANSWERS").c_str(), L"ab");
    for (int i = from; answers != nullptr && i < static_cast<int>(files.size()); ++i) {
        // Each line starts with its line end, so that one cut short by a crash ends there.
        fprintf(answers, "\n%d ", i);
        fflush(answers);
        const HMODULE library = LoadLibraryExW(Widen(files[i]).c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
        if (library == nullptr) {
            fprintf(answers, "load %s", Status(GetLastError()).c_str());
            continue;
        }
        fprintf(answers, "loaded");
        for (const char* entry : kEntryPoints) {
            fflush(answers);
            fprintf(answers, " %s",
                    GetProcAddress(library, entry) != nullptr ? "00000000" : Status(GetLastError()).c_str());
        }
        fflush(answers);
        // Each copy is loaded where the agent would load it: at its preferred address.
        FreeLibrary(library);
    }
    return answers != nullptr ? 0 : 1;
}
const ChildRoutine askTheLoader("ask-the-loader", AskTheLoader);

std::vector<std::string> LoaderAnswers(const std::wstring& list, size_t count)
{
    const TempFolder temp;
    std::vector<std::string> answers(count);
    for (size_t next = 0; next < count;) {
        ChildOptions options;
        options.environment = {{L"HALYARD_CORPUS", list},
                               {L"HALYARD_CORPUS_FROM", std::to_wstring(next)},
                               {L"HALYARD_CORPUS_ANSWERS", temp / L"answers.txt"}};
        const size_t from = next;
        const ChildResult asked = RunChild("ask-the-loader", options, 60000);
        std::istringstream lines(ReadFileBytes(temp / L"answers.txt"));
        for (std::string line; std::getline(lines, line);) {
            if (line.empty()) {
                continue;
            }
            const size_t blank = line.find(' ');
            const size_t index = std::stoul(line.substr(0, blank));
            std::string answer = line.substr(blank + 1);
            // A line cut short ends where the loader crashed.
            if (answer.rfind("load ", 0) != 0 && std::count(answer.begin(), answer.end(), ' ') < 3) {
                answer += answer.empty() ? kCrash : std::string(" ") + kCrash;
            }
            answers[index] = answer;
            next = std::max(next, index + 1);
        }
        if (asked.exitCode == STILL_ACTIVE || next == from) {
            ADD_FAILURE() << "the loader gave no answer from file " << from << " on (exit code " << asked.exitCode
                          << "): " << asked.output;
            break;
        }
    }
    return answers;
}

// The checker's answer in the same words: a crash where Wine's loader would take it (the headers gone
// from the mapped image, or a lookup that reads outside it); a forwarder as such.
std::string CheckersAnswer(const std::wstring& path)
{
    LibraryImage image;
    const DWORD error = image.Map(path);
    if (image.GetStage() == LibraryImage::Stage::NoHeaders) {
        return kCrash;
    }
    if (error != 0) {
        return "load " + Status(error);
    }
    std::string answer = "loaded";
    for (const char* entry : kEntryPoints) {
        std::string target;
        switch (image.Find(entry, target)) {
        case LibraryImage::Lookup::Found:
            answer += " 00000000";
            break;
        case LibraryImage::Lookup::NotFound:
            answer += " " + Status(ERROR_PROC_NOT_FOUND);
            break;
        case LibraryImage::Lookup::Forwarded:
            answer += " forwarded";
            break;
        case LibraryImage::Lookup::ReadsOutside:
            return answer + " " + kCrash;
        }
    }
    return answer;
}

// Entry point by entry point. Where the two may differ, by design: a forwarded entry point is not
// followed (the loader finds its function or not). A read outside the image could land on memory
// that the loader's process happens to have there; no copy here makes it.
bool Agree(const std::string& checker, const std::string& loader)
{
    std::istringstream mine(checker);
    std::istringstream theirs(loader);
    std::string a;
    std::string b;
    for (bool more = true; more;) {
        more = static_cast<bool>(mine >> a);
        if (more != static_cast<bool>(theirs >> b)) {
            return false;
        }
        if (more && a != b && !(a == "forwarded" && b != kCrash)) {
            return false;
        }
    }
    return true;
}

// Copies of the engine, each damaged in one way, with what was done to it.
class Corpus
{
public:
    explicit Corpus(std::string engine) : engine_(std::move(engine))
    {
        nt_ = Get<LONG>(offsetof(IMAGE_DOS_HEADER, e_lfanew));
        optional_ = nt_ + 4 + sizeof(IMAGE_FILE_HEADER);
        const WORD sections = Get<WORD>(nt_ + 4 + offsetof(IMAGE_FILE_HEADER, NumberOfSections));
        table_ = optional_ + Get<WORD>(nt_ + 4 + offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader));
        for (WORD i = 0; i < sections; ++i) {
            sections_.push_back(Get<IMAGE_SECTION_HEADER>(table_ + i * sizeof(IMAGE_SECTION_HEADER)));
        }
        const auto exports = Get<IMAGE_DATA_DIRECTORY>(optional_ + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory));
        exportRva_ = exports.VirtualAddress;
        exportSize_ = exports.Size;
        exports_ = At(exportRva_);
        directory_ = Get<IMAGE_EXPORT_DIRECTORY>(exports_);
    }

    const std::vector<std::pair<std::string, std::string>>& Copies() const { return copies_; }

    void Add(const std::string& what, std::string bytes) { copies_.emplace_back(what, std::move(bytes)); }
    template <typename T>
    void Set(const std::string& what, size_t at, T value, std::string bytes = {})
    {
        bytes = bytes.empty() ? engine_ : bytes;
        memcpy(&bytes[at], &value, sizeof(value));
        Add(what, std::move(bytes));
    }

    void Build()
    {
        Add("intact", engine_);
        for (size_t length :
             {size_t{0}, size_t{2}, size_t{0x40}, nt_ + 4, optional_ + 16, table_,
              table_ + sections_.size() * sizeof(IMAGE_SECTION_HEADER), engine_.size() / 2, engine_.size() - 1}) {
            Add("cut at " + std::to_string(length), engine_.substr(0, length));
        }
        for (const IMAGE_SECTION_HEADER& section : sections_) {
            for (size_t length : std::initializer_list<size_t>{section.PointerToRawData + section.SizeOfRawData / 2,
                                                               section.PointerToRawData + section.SizeOfRawData}) {
                Add("cut at " + std::to_string(length), engine_.substr(0, std::min(length, engine_.size())));
            }
        }
        Headers();
        Sections();
        Exports();
        Flips();
    }

private:
    template <typename T>
    T Get(size_t at) const
    {
        T value{};
        memcpy(&value, engine_.data() + at, sizeof(value));
        return value;
    }
    size_t At(DWORD rva) const
    {
        for (const IMAGE_SECTION_HEADER& s : sections_) {
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData) {
                return s.PointerToRawData + (rva - s.VirtualAddress);
            }
        }
        return 0;
    }

    void Headers()
    {
        const size_t file = nt_ + 4;
        const size_t directory = optional_ + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
        Set<WORD>("DOS signature", 0, 0x5A4C);
        for (LONG value : {0L, 0x7FFFFFFFL, -8L, static_cast<LONG>(nt_) + 1}) {
            Set<LONG>("e_lfanew " + std::to_string(value), offsetof(IMAGE_DOS_HEADER, e_lfanew), value);
        }
        Set<DWORD>("PE signature", nt_, 0x4550);
        for (WORD machine : {0x014C, 0xAA64, 0}) {
            Set<WORD>("machine " + std::to_string(machine), file, machine);
        }
        for (WORD count : {0, 1, static_cast<int>(sections_.size()) + 1, 96, 0xFFFF}) {
            Set<WORD>("sections " + std::to_string(count), file + offsetof(IMAGE_FILE_HEADER, NumberOfSections), count);
        }
        for (WORD size : {0, 0xE0, 0xFFFF}) {
            Set<WORD>("optional header size " + std::to_string(size),
                      file + offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader), size);
        }
        Set<WORD>("not a DLL", file + offsetof(IMAGE_FILE_HEADER, Characteristics), IMAGE_FILE_EXECUTABLE_IMAGE);
        const struct {
            const char* what;
            size_t at;
            DWORD value;
        } fields[] = {
            {"PE32 magic", offsetof(IMAGE_OPTIONAL_HEADER64, Magic), 0x10B},
            {"section alignment 0x200", offsetof(IMAGE_OPTIONAL_HEADER64, SectionAlignment), 0x200},
            {"section alignment 3", offsetof(IMAGE_OPTIONAL_HEADER64, SectionAlignment), 3},
            {"file alignment 1", offsetof(IMAGE_OPTIONAL_HEADER64, FileAlignment), 1},
            {"image size 0", offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfImage), 0},
            {"image size a page", offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfImage), 0x1000},
            {"image size huge", offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfImage), 0x7FFF0000},
            {"headers size 0", offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfHeaders), 0},
            {"headers size huge", offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfHeaders), 0xFFFFFFF0},
            {"no directories", offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes), 0},
            {"one directory", offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes), 1},
            {"directories huge", offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes), 0xFFFFFFFF},
        };
        for (const auto& field : fields) {
            Set<DWORD>(field.what, optional_ + field.at, field.value);
        }
        const DWORD image = Get<DWORD>(optional_ + offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfImage));
        for (DWORD rva : std::initializer_list<DWORD>{0, 0x10, exportRva_ + 1, 0x40000000, image}) {
            Set<DWORD>("export directory at " + std::to_string(rva), directory, rva);
        }
        Set<DWORD>("export directory size 0", directory + 4, 0);
    }

    void Sections()
    {
        for (size_t i = 0; i < sections_.size(); ++i) {
            const IMAGE_SECTION_HEADER& s = sections_[i];
            // The first six, and the one that holds the export table, wherever it is.
            if (i >= 6 && (exportRva_ < s.VirtualAddress || exportRva_ >= s.VirtualAddress + s.Misc.VirtualSize)) {
                continue;
            }
            const size_t at = table_ + i * sizeof(IMAGE_SECTION_HEADER);
            const std::string name = "section " + std::to_string(i) + " ";
            const struct {
                const char* what;
                size_t field;
                DWORD value;
            } edits[] = {
                {"virtual size 0", offsetof(IMAGE_SECTION_HEADER, Misc), 0},
                {"virtual size huge", offsetof(IMAGE_SECTION_HEADER, Misc), 0x7FFF0000},
                {"over the headers", offsetof(IMAGE_SECTION_HEADER, VirtualAddress), 0},
                {"address odd", offsetof(IMAGE_SECTION_HEADER, VirtualAddress), s.VirtualAddress + 1},
                {"over the one before", offsetof(IMAGE_SECTION_HEADER, VirtualAddress),
                 std::max<DWORD>(0x1000, s.VirtualAddress - 0x1000)},
                {"raw size 0", offsetof(IMAGE_SECTION_HEADER, SizeOfRawData), 0},
                {"raw size huge", offsetof(IMAGE_SECTION_HEADER, SizeOfRawData), 0x7FFF0000},
                {"raw data at 0", offsetof(IMAGE_SECTION_HEADER, PointerToRawData), 0},
                {"raw data past the end", offsetof(IMAGE_SECTION_HEADER, PointerToRawData),
                 static_cast<DWORD>(engine_.size())},
                {"no access", offsetof(IMAGE_SECTION_HEADER, Characteristics), 0},
            };
            for (const auto& edit : edits) {
                Set<DWORD>(name + edit.what, at + edit.field, edit.value);
            }
        }
    }

    void Exports()
    {
        const DWORD image = Get<DWORD>(optional_ + offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfImage));
        const struct {
            const char* what;
            size_t field;
            std::vector<DWORD> values;
        } fields[] = {
            {"functions", offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfFunctions), {0, 1, 0x7FFFFFFF}},
            {"names",
             offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfNames),
             {0, 1, 2, directory_.NumberOfNames + 1, 100, 65536, 0x7FFFFFFF, 0x80000000, 0xC0000000, 0xFFFFFFFF}},
            {"function table at", offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfFunctions), {0, 0x40000000, image - 4}},
            {"name table at", offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNames), {0, 0x40000000, image - 4}},
            {"ordinal table at", offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNameOrdinals), {0, 0x40000000}},
        };
        for (const auto& field : fields) {
            for (DWORD value : field.values) {
                Set<DWORD>(std::string("export ") + field.what + " " + std::to_string(value), exports_ + field.field,
                           value);
            }
        }
        const size_t names = At(directory_.AddressOfNames);
        const size_t ordinals = At(directory_.AddressOfNameOrdinals);
        const size_t functions = At(directory_.AddressOfFunctions);
        std::string swapped = engine_;
        std::swap_ranges(&swapped[names], &swapped[names + 4], &swapped[names + 4]);
        Add("first two names out of order", swapped);
        for (DWORD i = 0; i < directory_.NumberOfNames; ++i) {
            const std::string name = "name " + std::to_string(i) + " ";
            const WORD ordinal = Get<WORD>(ordinals + 2 * i);
            const DWORD text = Get<DWORD>(names + 4 * i);
            Set<WORD>(name + "ordinal past the functions", ordinals + 2 * i,
                      static_cast<WORD>(directory_.NumberOfFunctions));
            Set<DWORD>(name + "function at 0", functions + 4 * ordinal, 0);
            Set<DWORD>(name + "function in the directory", functions + 4 * ordinal, exportRva_ + 40);
            Set<DWORD>(name + "function far", functions + 4 * ordinal, 0x40000000);
            for (DWORD rva : std::initializer_list<DWORD>{0x40000000, image - 1, 0x10}) {
                Set<DWORD>(name + "text at " + std::to_string(rva), names + 4 * i, rva);
            }
            std::string changed = engine_;
            changed[At(text)] ^= 0x20;
            Add(name + "in another case", changed);
            changed = engine_;
            changed[At(text) + 3] = '\0';
            Add(name + "cut", changed);
        }
        for (const std::string forwarder : {"KERNEL32.Sleep", "NOWHERE"}) {
            std::string forwarded = engine_;
            const DWORD rva = exportRva_ + exportSize_ - static_cast<DWORD>(forwarder.size() + 1);
            memcpy(&forwarded[At(rva)], forwarder.c_str(), forwarder.size() + 1);
            Set<DWORD>("forwarded to " + forwarder, functions, rva, forwarded);
        }
    }

    void Flips()
    {
        std::mt19937 random(20261206);
        const DWORD headers = Get<DWORD>(optional_ + offsetof(IMAGE_OPTIONAL_HEADER64, SizeOfHeaders));
        for (int copy = 0; copy < 150; ++copy) {
            std::string flipped = engine_;
            const int region = copy % 3;
            const int count = 1 << (copy % 6);
            for (int i = 0; i < count; ++i) {
                const size_t at = region == 0   ? random() % headers
                                  : region == 1 ? exports_ + random() % exportSize_
                                                : random() % flipped.size();
                flipped[at] = static_cast<char>(flipped[at] ^ (1 << (random() % 8)));
            }
            Add(std::string(region == 0   ? "headers"
                            : region == 1 ? "export table"
                                          : "anywhere") +
                    ", " + std::to_string(count) + " bit(s) flipped, copy " + std::to_string(copy),
                flipped);
        }
    }

    std::string engine_;
    size_t nt_ = 0;
    size_t optional_ = 0;
    size_t table_ = 0;
    std::vector<IMAGE_SECTION_HEADER> sections_;
    DWORD exportRva_ = 0;
    DWORD exportSize_ = 0;
    size_t exports_ = 0;
    IMAGE_EXPORT_DIRECTORY directory_ = {};
    std::vector<std::pair<std::string, std::string>> copies_;
};

// The checker's answer against the loader's, copy by copy; `crashMayFail`: where the checker says the
// loader crashes, the loader may return an error instead (Windows' GetProcAddress on some damaged
// tables).
void CompareWithTheLoader(bool crashMayFail)
{
    Corpus corpus(ReadFileBytes(BesideThisProgram(kEngineLibrary)));
    corpus.Build();
    const TempFolder folder;
    std::string list;
    for (size_t i = 0; i < corpus.Copies().size(); ++i) {
        const std::wstring path = folder / (L"copy" + std::to_wstring(i) + L".dll");
        ASSERT_TRUE(WriteFileBytes(path, corpus.Copies()[i].second));
        list += Narrow(path) + "\r\n";
    }
    ASSERT_TRUE(WriteFileBytes(folder / L"list.txt", list));
    const std::vector<std::string> loader = LoaderAnswers(folder / L"list.txt", corpus.Copies().size());
    std::map<std::string, int> kinds;
    for (size_t i = 0; i < corpus.Copies().size(); ++i) {
        const std::string checker = CheckersAnswer(folder / (L"copy" + std::to_wstring(i) + L".dll"));
        const bool failedInstead =
            crashMayFail && checker.find(kCrash) != std::string::npos && loader[i].find(kCrash) == std::string::npos;
        EXPECT_TRUE(Agree(checker, loader[i]) || failedInstead)
            << corpus.Copies()[i].first << ": the checker says " << checker << ", the loader " << loader[i];
        ++kinds[loader[i].substr(0, loader[i].find(' '))];
    }
    // What the comparison's tolerance of forwarders would let pass: a forwarder's text without a dot names
    // nothing; and the export table's pages without access are read by no lookup.
    std::map<std::string, std::string> answers;
    for (size_t i = 0; i < corpus.Copies().size(); ++i) {
        answers[corpus.Copies()[i].first] = CheckersAnswer(folder / (L"copy" + std::to_wstring(i) + L".dll"));
    }
    EXPECT_EQ("loaded 8007007F 00000000 8007007F", answers["forwarded to NOWHERE"]);
    EXPECT_EQ("loaded forwarded 00000000 8007007F", answers["forwarded to KERNEL32.Sleep"]);
    std::string exportSection;
    for (const auto& [what, answer] : answers) {
        exportSection = what.find(" no access") != std::string::npos && answer.find(kCrash) != std::string::npos
                            ? what
                            : exportSection;
    }
    EXPECT_FALSE(exportSection.empty()) << "the export table's section without access";
    // The corpus reaches every kind of answer: refused, crashed and loaded.
    EXPECT_GE(corpus.Copies().size(), 300u);
    EXPECT_GE(kinds["load"], 30);
    EXPECT_GE(kinds[kCrash] + kinds["loaded"], 30);
}

// Label: wine
TEST(EngineCheck, AgreesWithWinesLoaderOnEveryDamagedCopyOfTheEngine)
{
    CompareWithTheLoader(false);
}

// Windows maps each copy with its own kernel, for the checker as for the loader: they agree, but where
// Windows' GetProcAddress returns an error on a damaged table that the checker says crashes it.
// Label: windows
TEST(EngineCheck, AgreesWithWindowsLoaderOnEveryDamagedCopyOfTheEngine)
{
    if (UnderWine()) {
        GTEST_SKIP() << "Windows' own loader; under Wine the test against Wine's runs";
    }
    CompareWithTheLoader(true);
}

} // namespace
