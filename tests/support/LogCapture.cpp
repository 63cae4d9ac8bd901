#include "tests/support/LogCapture.h"

#include "devtools/common/Files.h"
#include "trace/TraceManager.h"

#include <gtest/gtest.h>

using Orvanta::Deskweave::TraceManager;

namespace HalyardTest {

LogCapture::LogCapture()
{
    TraceManager::Initialize();
}

LogCapture::~LogCapture()
{
    TraceManager::Uninitialize();
}

std::vector<LogLine> LogCapture::Lines()
{
    TraceManager::Uninitialize();
    return LogLines(temp_ / L"Orvanta");
}

std::vector<std::string> LogCapture::Messages()
{
    TraceManager::Uninitialize();
    return LogMessages(temp_ / L"Orvanta");
}

std::vector<std::string> LogCapture::TakeMessages()
{
    const std::vector<std::string> messages = Messages();
    DeleteTree(temp_ / L"Orvanta");
    TraceManager::Initialize();
    return messages;
}

void ExpectInOrder(const std::vector<std::string>& messages, const std::vector<std::string>& needles)
{
    const std::vector<int> found = FindInOrder(messages, needles);
    for (size_t i = 0; i < needles.size(); ++i) {
        EXPECT_GE(found[i], 0) << "missing, or out of order: " << needles[i];
    }
}

} // namespace HalyardTest
