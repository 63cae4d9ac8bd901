#include "platform/SecurityDescriptor.h"

#include "platform/UniqueResource.h"

namespace Orvanta::Deskweave {

PSECURITY_DESCRIPTOR CreateEveryOneAllowedSecurityDescriptor()
{
    UniqueLocalMemory block(LocalAlloc(LMEM_FIXED, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!block) {
        return nullptr;
    }
    if (!InitializeSecurityDescriptor(block.get(), SECURITY_DESCRIPTOR_REVISION)) {
        return nullptr;
    }
    if (!SetSecurityDescriptorDacl(block.get(), TRUE, nullptr, FALSE)) {
        return nullptr;
    }
    return block.release();
}

} // namespace Orvanta::Deskweave
