// The log folder and its files: names, pruning, rotation and the failures around them, on real files.
#include "devtools/common/Files.h"
#include "devtools/common/LogReader.h"
#include "devtools/common/TempFolder.h"
#include "devtools/common/TempPathOverride.h"
#include "devtools/common/Text.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace Orvanta::Deskweave;
using namespace HalyardDev;

namespace {

constexpr long long kThreshold = 5LL * 1024 * 1024;
// "[XXXXXXXX] [MM/DD hh:mm:ss] " before the message, CR LF after it.
constexpr long long kLineOverhead = 28 + 2;

long long FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::set<std::wstring> AsSet(const std::vector<std::wstring>& names)
{
    return {names.begin(), names.end()};
}

class LogFolder : public testing::Test
{
protected:
    void TearDown() override { TraceManager::Uninitialize(); }

    std::wstring Log(const std::wstring& name) const { return logFolder_ + L"\\" + name; }
    void MakeFiles(std::initializer_list<const wchar_t*> names)
    {
        CreateDirectoryW(logFolder_.c_str(), nullptr);
        for (const wchar_t* name : names) {
            WriteFileBytes(Log(name), "old\r\n");
        }
    }
    std::wstring NewestLog() const { return LogFiles(logFolder_).back(); }

    // Writes lines until the next line is a rotation check (the counter is process-wide).
    void TraceUntilNextCheck(const std::string& tag)
    {
        int i = 0;
        while (TraceManager::LinesWritten() % 100 != 0) {
            Trace(L"%S%d\n", tag.c_str(), ++i);
        }
    }
    // The line counter is never reset, so "the first line" is only a check in a fresh process.
    void TraceThroughNextCheck()
    {
        TraceUntilNextCheck("filler ");
        Trace(L"checked line\n");
    }

    TempFolder temp_;
    TempPathOverride tempPath_{temp_.Path()};
    std::wstring logFolder_ = temp_ / L"Orvanta";
};

TEST_F(LogFolder, StartKeepsTheFiveNewestAndTheFirstLineBringsTheFolderToFive)
{
    // Ordinal order: upper case sorts first, so the 2030 file counts as the oldest.
    MakeFiles({L"HALYARD_2030-01-01_00-00-00.log", L"Halyard_2020-01-01_00-00-00.log",
               L"Halyard_2020-01-02_00-00-00.log", L"Halyard_2020-01-03_00-00-00.log",
               L"Halyard_2020-01-04_00-00-00.log", L"Halyard_2020-01-05_00-00-00.log",
               L"Halyard_2020-01-06_00-00-00.log", L"Halyard.log", L"notes.txt", L"Halyard_keep.txt"});

    ASSERT_TRUE(TraceManager::Initialize());
    const std::wstring created = NewestLog();
    EXPECT_TRUE(std::regex_match(Narrow(created), std::regex(R"(Halyard_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log)")))
        << Narrow(created);
    EXPECT_EQ(6u, LogFiles(logFolder_).size());

    TraceThroughNextCheck();
    const std::set<std::wstring> expected = {L"Halyard_2020-01-03_00-00-00.log", L"Halyard_2020-01-04_00-00-00.log",
                                             L"Halyard_2020-01-05_00-00-00.log", L"Halyard_2020-01-06_00-00-00.log",
                                             created, L"Halyard.log", L"notes.txt", L"Halyard_keep.txt"};
    EXPECT_EQ(expected, AsSet(ListFolder(logFolder_)));

    // Files another program puts there meanwhile are pruned at the next check.
    MakeFiles({L"Halyard_2019-01-01_00-00-00.log", L"Halyard_2019-01-02_00-00-00.log"});
    TraceThroughNextCheck();
    EXPECT_EQ(expected, AsSet(ListFolder(logFolder_)));
}

TEST_F(LogFolder, CharactersBeyondLatin1BecomeQuestionMarksAndTheLineStaysWhole)
{
    ASSERT_TRUE(TraceManager::Initialize());
    Trace(L"caf\u00e9 \u20ac 5\n");
    Trace(L"next\n");
    TraceManager::Uninitialize();
    const std::vector<LogLine> lines = ParseLog(ReadFileBytes(Log(NewestLog())));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("caf\xe9 ? 5", lines[0].message);
    EXPECT_EQ("next", lines[1].message);
}

TEST_F(LogFolder, AnUndeletableOldFileStillCountsAsOneOfTheDeletions)
{
    MakeFiles({L"Halyard_2020-01-01_00-00-00.log", L"Halyard_2020-01-02_00-00-00.log",
               L"Halyard_2020-01-03_00-00-00.log", L"Halyard_2020-01-04_00-00-00.log",
               L"Halyard_2020-01-05_00-00-00.log", L"Halyard_2020-01-06_00-00-00.log"});
    // Another program holds the oldest file open without sharing deletion.
    HANDLE held = CreateFileW(Log(L"Halyard_2020-01-01_00-00-00.log").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);

    ASSERT_TRUE(TraceManager::Initialize());
    TraceThroughNextCheck();
    CloseHandle(held);

    // Start tried the oldest (failed); the first line's check tried it again and took the next one.
    const std::set<std::wstring> expected = {L"Halyard_2020-01-01_00-00-00.log", L"Halyard_2020-01-03_00-00-00.log",
                                             L"Halyard_2020-01-04_00-00-00.log", L"Halyard_2020-01-05_00-00-00.log",
                                             L"Halyard_2020-01-06_00-00-00.log", NewestLog()};
    EXPECT_EQ(expected, AsSet(ListFolder(logFolder_)));
}

TEST_F(LogFolder, TracingGivesBackTheCallersLastErrorAlsoAcrossTheRotationCheck)
{
    ASSERT_TRUE(TraceManager::Initialize());
    for (DWORD line = 0; line < 250; ++line) {
        SetLastError(0xE0000000 + line);
        Trace(L"line %lu\n", line);
        ASSERT_EQ(0xE0000000 + line, GetLastError()) << "after Trace, line " << line;
        TraceToDebugger(L"line %lu\n", line);
        ASSERT_EQ(0xE0000000 + line, GetLastError()) << "after TraceToDebugger, line " << line;
    }
}

TEST_F(LogFolder, AFileInPlaceOfTheLogFolderLeavesTracingToTheDebugger)
{
    WriteFileBytes(logFolder_, "not a folder");
    EXPECT_FALSE(TraceManager::Initialize());
    Trace(L"goes to the debugger only\n");
    EXPECT_EQ("not a folder", ReadFileBytes(logFolder_));
}

TEST_F(LogFolder, RotationIsStrictlyAboveTheThresholdOnEveryHundredthLineAndKeepsFiveFiles)
{
    MakeFiles({L"Halyard_2020-01-01_00-00-00.log", L"Halyard_2020-01-02_00-00-00.log",
               L"Halyard_2020-01-03_00-00-00.log"});
    ASSERT_TRUE(TraceManager::Initialize());
    const std::wstring first = NewestLog();

    // Fill the file to exactly the threshold with the lines that end right before a check.
    const long long lines = (100 - TraceManager::LinesWritten() % 100) % 100 + 5200;
    const long long payload = kThreshold - kLineOverhead * lines;
    for (long long i = 0; i < lines; ++i) {
        const long long length = payload / lines + (i < payload % lines ? 1 : 0);
        std::string message = "F" + std::to_string(i) + " ";
        message.resize(static_cast<size_t>(length), 'x');
        Trace(L"%S\n", message.c_str());
    }
    ASSERT_EQ(kThreshold, FileSize(Log(first)));
    ASSERT_EQ(0, TraceManager::LinesWritten() % 100);

    // In the file's own second a rotation would fail to open the same name and stay on this file,
    // which would hide a rotation at the threshold itself.
    Sleep(1100);
    Trace(L"at threshold\n");
    EXPECT_EQ(first, NewestLog()) << "a file of exactly the threshold is not rotated";

    Sleep(1100); // the next file's name must fall in another second
    TraceUntilNextCheck("above threshold ");
    Trace(L"triggering line\n");

    const std::wstring second = NewestLog();
    ASSERT_NE(first, second);
    const std::vector<LogLine> secondLines = ParseLog(ReadFileBytes(Log(second)));
    ASSERT_FALSE(secondLines.empty());
    EXPECT_EQ("triggering line", secondLines[0].message);
    const std::vector<LogLine> firstLines = ParseLog(ReadFileBytes(Log(first)));
    EXPECT_EQ("above threshold 99", firstLines.back().message);

    // A second rotation: six files then, and the oldest goes.
    const std::string filler(990, 'y');
    while (FileSize(Log(second)) <= kThreshold) {
        Trace(L"%S\n", filler.c_str());
    }
    Sleep(1100);
    TraceUntilNextCheck("again ");
    Trace(L"second triggering line\n");
    const std::wstring third = NewestLog();
    ASSERT_NE(second, third);

    const std::set<std::wstring> expected = {L"Halyard_2020-01-02_00-00-00.log", L"Halyard_2020-01-03_00-00-00.log",
                                             first, second, third};
    EXPECT_EQ(expected, AsSet(ListFolder(logFolder_)));
}

} // namespace
