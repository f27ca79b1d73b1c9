// What every gvspfilter command shares, on Linux and on Windows: its two kinds of failure and
// the MAC address as a user writes it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace gvspfilter {

using MacAddress = std::array<uint8_t, 6>;

// Bad usage or input the user can fix: one line on stderr, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The run itself failed (the driver refused a request, the network failed): exit status 1.
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "00:1b:2c:3d:4e:b0" and back; UsageError for a malformed address.
std::string MacText(const MacAddress& mac);
MacAddress ParseMac(const std::string& text);

// Runs a command's routine: its exit status, or one line on stderr and 2 for a UsageError, 1 for
// any other failure.
int RunCommand(const std::function<int()>& routine);

// A status the driver returned, as its error messages show it ("0xC0000001").
std::string StatusText(int32_t status);

}  // namespace gvspfilter
