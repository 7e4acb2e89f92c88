#include "net/DiscoveryBind.h"

namespace vandrel::platform {

// A socket bound to a unicast address never receives broadcasts here, and
// phones probe by broadcast.
bool DiscoveryBindsOwnAddress() { return false; }

}  // namespace vandrel::platform
