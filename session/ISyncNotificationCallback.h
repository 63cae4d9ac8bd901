#pragma once

#include <cstdint>

namespace Orvanta::Deskweave {

struct PendingUploadCounts {
    std::int32_t done;
    std::int32_t total;
};

// Job-status notifications, called by a notification source on threads of its own, one call at a time.
class ISyncNotificationCallback
{
public:
    virtual ~ISyncNotificationCallback() = default;
    virtual bool OnLogonFailedStatus(void* context) = 0;
    virtual bool OnSyncNotEnabledStatus(void* context) = 0;
    // sequenceId: NUL-terminated, ordered byte by byte; counts: uploads done and in all.
    virtual bool OnPendingUploadStatus(void* context, const char* sequenceId, const PendingUploadCounts& counts) = 0;
};

} // namespace Orvanta::Deskweave
