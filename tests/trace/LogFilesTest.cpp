// The log folder and its files: names, pruning, rotation and the failures around them, on real files.
// Each case runs in a process of its own, so the process-wide line counter starts at 0.
#include "tests/support/TestSupport.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

#include <regex>
#include <set>

using namespace HalyardTest;

namespace {

using Names = std::set<std::wstring>;
constexpr long long kThreshold = 5LL * 1024 * 1024;

// An earlier run's log file, made on a day of January 2020 (of 2019 for negative days).
std::wstring Dated(int day)
{
    return (day > 0 ? L"Halyard_2020-01-0" : L"Halyard_2019-01-0") + std::to_wstring(day > 0 ? day : -day) +
           L"_00-00-00.log";
}

class LogFolder : public testing::Test
{
protected:
    void TearDown() override { TraceManager::Uninitialize(); }

    std::wstring Log(const std::wstring& name) const { return folder_ + L"\\" + name; }
    void MakeFiles(const std::vector<std::wstring>& names)
    {
        CreateDirectoryW(folder_.c_str(), nullptr);
        for (const std::wstring& name : names) {
            WriteFileBytes(Log(name), "old\r\n");
        }
    }
    std::wstring NewestLog() const { return LogFiles(folder_).back(); }
    Names InFolder() const
    {
        const std::vector<std::wstring> names = ListFolder(folder_);
        return {names.begin(), names.end()};
    }
    long long Size(const std::wstring& name) const
    {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        GetFileAttributesExW(Log(name).c_str(), GetFileExInfoStandard, &data);
        return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    // Writes lines until the next line is a rotation check, then (with `last`) that line.
    void TraceUntilNextCheck(const char* tag, const wchar_t* last = nullptr)
    {
        for (int i = 1; TraceManager::LinesWritten() % 100 != 0; ++i) {
            Trace(L"%S%d\n", tag, i);
        }
        if (last != nullptr) {
            Trace(L"%s\n", last);
        }
    }

    TempFolder temp_;
    TempPathOverride tempPath_{temp_.Path()};
    std::wstring folder_ = temp_ / L"Orvanta";
};

TEST_F(LogFolder, StartKeepsTheFiveNewestAndEachCheckBringsTheFolderToFive)
{
    // Ordinal order: upper case sorts first, so the 2030 file counts as the oldest.
    MakeFiles({L"HALYARD_2030-01-01_00-00-00.log", Dated(1), Dated(2), Dated(3), Dated(4), Dated(5), Dated(6),
               L"Halyard.log", L"notes.txt", L"Halyard_keep.txt"});
    ASSERT_TRUE(TraceManager::Initialize());
    const std::wstring created = NewestLog();
    EXPECT_TRUE(std::regex_match(Narrow(created), std::regex(R"(Halyard_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log)")));
    EXPECT_EQ(6u, LogFiles(folder_).size());

    Trace(L"the first line is a check\n");
    const Names expected = {Dated(3), Dated(4),       Dated(5),     Dated(6),
                            created,  L"Halyard.log", L"notes.txt", L"Halyard_keep.txt"};
    EXPECT_EQ(expected, InFolder());
    // Files another program puts there meanwhile are pruned at the next check.
    MakeFiles({Dated(-1), Dated(-2)});
    TraceUntilNextCheck("filler ", L"checked");
    EXPECT_EQ(expected, InFolder());
}

TEST_F(LogFolder, TheFirstLineBringsTheFolderToFiveThoughTheFoldersClockDidNotMove)
{
    MakeFiles({Dated(1), Dated(2), Dated(3), Dated(4), Dated(5)});
    WIN32_FILE_ATTRIBUTE_DATA before = {};
    ASSERT_TRUE(GetFileAttributesExW(folder_.c_str(), GetFileExInfoStandard, &before));
    ASSERT_TRUE(TraceManager::Initialize());
    // NTFS keeps the folder's time in 15.6 ms ticks and FAT in 2 s steps: the new file, created a few
    // microseconds after Start's pruning, leaves the time as that pruning read it.
    ASSERT_TRUE(SetFileTime(UniqueFileHandle(CreateFileW(folder_.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr))
                                .get(),
                            nullptr, nullptr, &before.ftLastWriteTime));
    Trace(L"the first line is a check\n");
    EXPECT_EQ((Names{Dated(2), Dated(3), Dated(4), Dated(5), NewestLog()}), InFolder());
}

TEST_F(LogFolder, ARotationThatCannotOpenItsFileIsTriedAgainAtEachCheckUntilOneOpens)
{
    MakeFiles({Dated(1), Dated(2), Dated(3), Dated(4)});
    ASSERT_TRUE(TraceManager::Initialize());
    const std::wstring first = NewestLog();
    while (Size(first) <= kThreshold) {
        Trace(L"%S\n", std::string(990, 'z').c_str());
    }
    // Another program holds the names of the next seconds, as folders, which no log file can open;
    // past the first file's own second, whose name would fail anyway.
    Sleep(1100);
    std::vector<std::wstring> held;
    for (__time64_t second = _time64(nullptr); held.size() < 20; ++second) {
        tm local = {};
        _localtime64_s(&local, &second);
        wchar_t name[64] = {};
        wcsftime(name, _countof(name), L"Halyard_%Y-%m-%d_%H-%M-%S.log", &local);
        held.push_back(Log(name));
        CreateDirectoryW(held.back().c_str(), nullptr);
    }
    TraceUntilNextCheck("held ", L"first failed check");
    const long long afterFirstFailure = Size(first);
    TraceUntilNextCheck("still held ", L"second failed check");
    EXPECT_GT(Size(first), afterFirstFailure) << "lines keep going into the file that is too big";
    for (const std::wstring& name : held) {
        RemoveDirectoryW(name.c_str());
    }
    TraceUntilNextCheck("released ", L"rotated");
    const long long stopped = Size(first);
    TraceUntilNextCheck("after ", L"next check");
    EXPECT_EQ(stopped, Size(first)) << "the file that was too big stopped growing";
    const std::wstring second = NewestLog();
    EXPECT_EQ("rotated", ParseLog(ReadFileBytes(Log(second))).at(0).message);
    EXPECT_EQ((Names{Dated(2), Dated(3), Dated(4), first, second}), InFolder());
}

// A clock that ran ahead names files that sort after every real one: kept by name, they would never
// go. A name later than a day from now is deleted, beside the five kept, and the log says so.
TEST_F(LogFolder, FilesNamedLaterThanADayFromNowArePrunedBesideTheFiveKeptAndTheLogSaysSo)
{
    const std::wstring soon = L"Halyard_" + FormatLogFileTime(60 * 60) + L".log";
    const std::vector<std::wstring> ahead = {L"Halyard_2099-01-01_00-00-00.log", L"Halyard_2099-01-02_00-00-00.log"};
    MakeFiles({ahead[0], ahead[1], Dated(1), Dated(2), Dated(3), soon});
    ASSERT_TRUE(TraceManager::Initialize());
    Trace(L"first line\n");
    Names planted = {Dated(1), Dated(2), Dated(3), soon};
    const std::vector<std::wstring> now = LogFiles(folder_);
    std::wstring created;
    for (const std::wstring& name : now) {
        created = planted.count(name) == 0 ? name : created;
    }
    planted.insert(created);
    EXPECT_EQ(planted, InFolder()) << "an hour ahead is kept";
    const std::vector<LogLine> lines = ParseLog(ReadFileBytes(Log(created)));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Deleted from the log folder, named later than a day from now by a clock that ran ahead: " +
                  Narrow(ahead[0]) + ", " + Narrow(ahead[1]) + ".",
              lines[0].message);
    EXPECT_EQ("first line", lines[1].message);
}

// Windows lets no one delete the file the writer holds; from outside Windows it can go (a file server,
// a cleanup on another system). The next check finds it gone and the log goes on in a new file, whose
// first line says how many lines went with the old one.
// Label: wine
TEST_F(LogFolder, AFileDeletedUnderTheWriterIsFoundAtTheNextCheckAndANewOneSaysWhatWasLost)
{
    ASSERT_TRUE(TraceManager::Initialize());
    const std::wstring first = NewestLog();
    Trace(L"the first line is a check\n");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteFileW(Log(first).c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError()) << "Windows keeps the file while it is held";
    ASSERT_TRUE(DeleteBehindWindows(Log(first)));
    Sleep(1100); // a new file of its own second
    TraceUntilNextCheck("into the deleted file ", L"found gone");
    const std::wstring second = NewestLog();
    ASSERT_NE(first, second);
    const std::vector<LogLine> lines = ParseLog(ReadFileBytes(Log(second)));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("The log file " + Narrow(Log(first)) +
                  " was deleted or replaced while the agent wrote to it: the 100 lines written since the check before "
                  "went with it. The log goes on here.",
              lines[0].message);
    EXPECT_EQ("found gone", lines[1].message);
}

TEST_F(LogFolder, AnUndeletableOldFileStillCountsAsOneOfTheDeletions)
{
    MakeFiles({Dated(1), Dated(2), Dated(3), Dated(4), Dated(5), Dated(6)});
    // Another program holds the oldest file open without sharing deletion.
    HANDLE held = CreateFileW(Log(Dated(1)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(TraceManager::Initialize());
    Trace(L"the first line is a check\n");
    CloseHandle(held);
    // Start tried the oldest (failed); the first line's check tried it again and took the next one.
    EXPECT_EQ((Names{Dated(1), Dated(3), Dated(4), Dated(5), Dated(6), NewestLog()}), InFolder());
}

TEST_F(LogFolder, LinesStayWholeWithCharactersBeyondLatin1AsQuestionMarksAndKeepTheCallersLastError)
{
    ASSERT_TRUE(TraceManager::Initialize());
    Trace(L"caf\u00e9 \u20ac 5\n");
    // Every hundredth line runs the check, whose search ends with its own error code.
    for (DWORD line = 0; line < 250; ++line) {
        SetLastError(0xE0000000 + line);
        Trace(L"line %lu\n", line);
        ASSERT_EQ(0xE0000000 + line, GetLastError()) << "after Trace, line " << line;
        TraceToDebugger(L"line %lu\n", line);
        ASSERT_EQ(0xE0000000 + line, GetLastError()) << "after TraceToDebugger, line " << line;
    }
    TraceManager::Uninitialize();
    const std::vector<LogLine> lines = ParseLog(ReadFileBytes(Log(NewestLog())));
    ASSERT_EQ(251u, lines.size());
    EXPECT_EQ("caf\xe9 ? 5", lines[0].message);
    EXPECT_EQ("line 0", lines[1].message);
}

TEST_F(LogFolder, AFileInPlaceOfTheLogFolderLeavesTracingToTheDebugger)
{
    WriteFileBytes(folder_, "not a folder");
    EXPECT_FALSE(TraceManager::Initialize());
    Trace(L"goes to the debugger only\n");
    EXPECT_EQ("not a folder", ReadFileBytes(folder_));
}

TEST_F(LogFolder, RotationIsStrictlyAboveTheThresholdOnEveryHundredthLineAndKeepsFiveFiles)
{
    MakeFiles({Dated(1), Dated(2), Dated(3)});
    ASSERT_TRUE(TraceManager::Initialize());
    const std::wstring first = NewestLog();
    // Fill the file to exactly the threshold with 5200 lines, so that the next line is a check:
    // "[XXXXXXXX] [MM/DD hh:mm:ss] " before each message and CR LF after it.
    const long long lines = 5200;
    const long long payload = kThreshold - 30 * lines;
    for (long long i = 0; i < lines; ++i) {
        std::string message = "F" + std::to_string(i) + " ";
        message.resize(static_cast<size_t>(payload / lines + (i < payload % lines ? 1 : 0)), 'x');
        Trace(L"%S\n", message.c_str());
    }
    ASSERT_EQ(kThreshold, Size(first));
    // In the file's own second a rotation would fail to open the same name and stay on this file,
    // which would hide a rotation at the threshold itself.
    Sleep(1100);
    Trace(L"at threshold\n");
    EXPECT_EQ(first, NewestLog()) << "a file of exactly the threshold is not rotated";

    Sleep(1100);
    TraceUntilNextCheck("above threshold ", L"triggering line");
    const std::wstring second = NewestLog();
    ASSERT_NE(first, second);
    EXPECT_EQ("triggering line", ParseLog(ReadFileBytes(Log(second))).at(0).message);
    EXPECT_EQ("above threshold 99", ParseLog(ReadFileBytes(Log(first))).back().message);

    // A second rotation: six files then, and the oldest goes.
    while (Size(second) <= kThreshold) {
        Trace(L"%S\n", std::string(990, 'y').c_str());
    }
    Sleep(1100);
    TraceUntilNextCheck("again ", L"second triggering line");
    const std::wstring third = NewestLog();
    ASSERT_NE(second, third);
    EXPECT_EQ((Names{Dated(2), Dated(3), first, second, third}), InFolder());
}

} // namespace
