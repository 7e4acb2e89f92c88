#include <stdexcept>
#include <string>

#include "update/Updater.h"

namespace vandrel::update {

ParsedUrl ParseUrl(const std::string& url) {
  const auto schemeEnd = url.size() < 3 ? std::string::npos : url.find("://");
  if (schemeEnd == std::string::npos) throw std::runtime_error("Invalid URL (missing scheme): " + url);
  ParsedUrl parsed;
  parsed.secure = url.compare(0, schemeEnd, "https") == 0;
  parsed.port = parsed.secure ? 443 : 80;

  const std::size_t hostStart = schemeEnd + 3;
  const std::size_t hostEnd = url.find_first_of("/:", hostStart);
  parsed.host = url.substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
  std::size_t pathStart = hostEnd;
  if (hostEnd != std::string::npos && url[hostEnd] == ':') {
    pathStart = url.find('/', hostEnd + 1);
    const int port = std::stoi(url.substr(hostEnd + 1, pathStart == std::string::npos ? std::string::npos
                                                                                      : pathStart - hostEnd - 1));
    // stoi accepts any int; a port has 16 bits.
    if (port < 0 || port > 65535) throw std::out_of_range("port out of range: " + std::to_string(port));
    parsed.port = static_cast<std::uint16_t>(port);
  }
  if (pathStart != std::string::npos) parsed.path = url.substr(pathStart);
  return parsed;
}

}  // namespace vandrel::update
