// Where the discovery socket listens differs by platform: Windows hands subnet
// broadcasts to a socket bound to the PC's own address, while Linux hands
// broadcasts only to a socket bound to the wildcard address.
#pragma once

namespace vandrel::platform {

/// True where the discovery socket is bound to the PC's own address (with the
/// wildcard address as the fallback); false where it binds the wildcard address.
bool DiscoveryBindsOwnAddress();

}  // namespace vandrel::platform
