#include "tests/support/TestSupport.h"
#include "tests/support/AgentRun.h"

#include "devtools/common/AgentControl.h"

#include <regex>
#include <sstream>

namespace HalyardTest {

AgentRun::AgentRun(std::wstring program)
    : program_(program.empty() ? BesideThisProgram(Orvanta::Deskweave::kAgentProgram) : std::move(program))
{
    CreateDirectoryW((folder_ / L"temp").c_str(), nullptr);
}

AgentRun::~AgentRun()
{
    if (started_ && !WaitForAllExited(0)) {
        Terminate();
    }
    Stop();
}

Messages Described(const std::vector<ReportedEvent>& events)
{
    Messages described;
    for (const ReportedEvent& event : events) {
        std::string text = std::to_string(event.type) + " " + std::to_string(event.id) + " ";
        for (size_t i = 0; i < event.strings.size(); ++i) {
            text += (i > 0 ? "|" : "") + event.strings[i];
        }
        described.push_back(text);
    }
    return described;
}
std::vector<ReportedEvent> ReportedEvents(const std::string& output, DWORD processId)
{
    static const std::regex stub(R"(^([0-9a-f]+):[0-9a-f]+:fixme:advapi:ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),.*)");
    static const std::regex text(R"re(^([0-9a-f]+):[0-9a-f]+:[a-z]+:eventlog:ReportEventW L"(.*)"$)re");
    std::vector<ReportedEvent> events;
    std::istringstream lines(output);
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (std::regex_match(line, match, stub)) {
            const DWORD pid = std::stoul(match[1], nullptr, 16);
            events.push_back({pid, static_cast<WORD>(std::stoul(match[2], nullptr, 16)),
                              static_cast<DWORD>(std::stoul(match[3], nullptr, 16)), {}});
        } else if (std::regex_match(line, match, text)) {
            const DWORD pid = std::stoul(match[1], nullptr, 16);
            for (auto event = events.rbegin(); event != events.rend(); ++event) {
                if (event->processId == pid) {
                    event->strings.push_back(match[2]);
                    break;
                }
            }
        }
    }
    events.erase(std::remove_if(events.begin(), events.end(),
                                [processId](const ReportedEvent& e) { return processId != 0 && e.processId != processId; }),
                 events.end());
    return events;
}

DWORD AgentRun::Start(const std::wstring& arguments, ChildOptions options)
{
    const std::wstring temp = folder_ / L"temp";
    options.environment.insert(options.environment.end(), {{L"TMP", temp}, {L"TEMP", temp}});
    started_ = true;
    return DebugCapture::Start(L"\"" + program_ + L"\"" + (arguments.empty() ? L"" : L" " + arguments), options);
}

void AgentRun::StartRunning()
{
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(WaitForAgentWindow(true, 20000));
    ASSERT_TRUE(WaitForDebugText(L"Orvanta::Deskweave::Event::Create:: Event = Global\\HalyardTerminate"));
}

DWORD AgentRun::Terminate(DWORD timeoutMs)
{
    const Orvanta::Deskweave::UniqueHandle terminate = SignalTerminate();
    WaitForAllExited(timeoutMs);
    return DebugCapture::WaitForExit(0);
}

Messages AgentRun::DebugMessages(bool firstProcessOnly) const
{
    Messages messages;
    for (const DebugString& s : Strings()) {
        if (!firstProcessOnly || s.processId == ProcessId()) {
            messages.push_back(Narrow(s.text));
        }
    }
    return messages;
}

Messages AgentRun::LogMessages() const
{
    return HalyardDev::LogMessages(LogFolder());
}

Messages AgentRun::Children() const
{
    return ReadLines(standIns_.Path() + L"\\" + kChildrenRecord);
}

PolicyKey::PolicyKey() : ScopedRegistryKey(HKEY_LOCAL_MACHINE, Orvanta::Deskweave::kPolicyKey)
{
    SetString(Orvanta::Deskweave::kDiskVolumeValue, L"O:");
}

DWORD DevCtl(const std::wstring& arguments)
{
    return RunAndWait(L"\"" + BesideThisProgram(L"HalyardDevCtl.exe") + L"\" " + arguments);
}

} // namespace HalyardTest
