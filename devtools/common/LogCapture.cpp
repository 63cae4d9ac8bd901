#include "devtools/common/LogCapture.h"

#include "devtools/common/Files.h"
#include "trace/TraceManager.h"

using Orvanta::Deskweave::TraceManager;

namespace HalyardDev {

LogCapture::LogCapture()
{
    TraceManager::Initialize();
}

LogCapture::~LogCapture()
{
    TraceManager::Uninitialize();
}

std::vector<std::string> LogCapture::Messages()
{
    TraceManager::Uninitialize();
    return LogMessages(LogFolder());
}

std::vector<std::string> LogCapture::TakeMessages()
{
    const std::vector<std::string> messages = Messages();
    DeleteTree(LogFolder());
    TraceManager::Initialize();
    return messages;
}

} // namespace HalyardDev
