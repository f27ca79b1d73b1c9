// What every gvspfilter command shares, on Linux and on Windows.
#include "tools/command_line.h"

#include <cstdio>

namespace gvspfilter {

int RunCommand(const std::function<int()>& routine)
{
    try {
        return routine();
    } catch (const UsageError& e) {
        std::fprintf(stderr, "gvspfilter: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gvspfilter: %s\n", e.what());
        return 1;
    }
}

std::string StatusText(int32_t status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
    return text;
}

std::string MacText(const MacAddress& mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

MacAddress ParseMac(const std::string& text)
{
    MacAddress mac{};
    unsigned v[6];
    char tail = 0;
    if (std::sscanf(text.c_str(), "%2x%*1[:-]%2x%*1[:-]%2x%*1[:-]%2x%*1[:-]%2x%*1[:-]%2x%c", &v[0], &v[1], &v[2], &v[3],
            &v[4], &v[5], &tail) != 6) {
        throw UsageError("'" + text + "' is not a MAC address (write it as 00:1b:2c:3d:4e:b0)");
    }
    for (size_t i = 0; i < 6; ++i) {
        mac[i] = static_cast<uint8_t>(v[i]);
    }
    return mac;
}

}  // namespace gvspfilter
