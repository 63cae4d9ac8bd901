#include "agent/PolicyGate.h"

#include "platform/RegistryNames.h"

namespace Orvanta::Deskweave {

const wchar_t* CheckPolicyGate(Registry& policy)
{
    if (policy.Open(HKEY_LOCAL_MACHINE, kPolicyKey, KEY_READ) != ERROR_SUCCESS) {
        return L"On-demand Sync is not configured.  Exit.\n";
    }
    // Only that the value can be read counts: it is not examined afterwards.
    wchar_t diskVolume[30] = {};
    ULONG diskVolumeSize = sizeof(diskVolume);
    if (policy.QueryStringValue(kDiskVolumeValue, diskVolume, diskVolumeSize) != ERROR_SUCCESS) {
        return L"On-demand Sync drive is not configured.  Exit.\n";
    }
    return nullptr;
}

} // namespace Orvanta::Deskweave
