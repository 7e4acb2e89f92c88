#include "net/DiscoveryBind.h"

namespace vandrel::platform {

bool DiscoveryBindsOwnAddress() { return true; }

}  // namespace vandrel::platform
