// A message compiler for the driver's message table (.mc): reads the subset of the format the
// driver uses and writes the message ids as a header for the driver, the texts as a table for
// the host's event viewer and, when asked, as the binary message table a Windows image carries
// as its MESSAGETABLE resource. Runs at build time on the build machine.
#include <cstdio>
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Message {
    std::string symbol;
    uint32_t id = 0;
    std::string text;   // lines joined with CR LF, as the resource holds them
};

std::string Trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// Parses "(Name=0x1:SYMBOL Name2=0x2:SYMBOL2 )" spread over lines into name -> value.
void ParseNames(std::istream& in, std::string first, std::map<std::string, uint32_t>& names)
{
    std::string all = first;
    std::string line;
    while (all.find(')') == std::string::npos && std::getline(in, line)) {
        all += " " + line;
    }
    std::string body = all.substr(all.find('(') + 1);
    body = body.substr(0, body.find(')'));
    std::istringstream words(body);
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        size_t colon = word.find(':');
        if (eq == std::string::npos) {
            continue;
        }
        names[word.substr(0, eq)] = uint32_t(std::stoul(word.substr(eq + 1, colon - eq - 1), nullptr, 0));
    }
}

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default: out += c;
        }
    }
    return out;
}

// The MESSAGETABLE resource: a count of blocks, each block a run of consecutive ids with the
// offset of its entries, each entry its length (padded to 4 bytes), flags 0 (ANSI text) and
// the NUL-terminated text. Little-endian, as the resource is read on x64.
std::string MessageResource(std::vector<Message> messages)
{
    std::sort(messages.begin(), messages.end(), [](const Message& a, const Message& b) { return a.id < b.id; });
    std::vector<std::pair<size_t, size_t>> blocks;   // first and one-past-last message of each run
    for (size_t i = 0; i < messages.size(); ++i) {
        if (blocks.empty() || messages[i].id != messages[i - 1].id + 1) {
            blocks.push_back({i, i});
        }
        blocks.back().second = i + 1;
    }
    auto put32 = [](std::string& out, uint32_t v) {
        for (int shift = 0; shift < 32; shift += 8) {
            out += char((v >> shift) & 0xFF);
        }
    };
    std::string entries;
    std::string head;
    put32(head, uint32_t(blocks.size()));
    size_t offset = 4 + 12 * blocks.size();
    for (const auto& [first, last] : blocks) {
        put32(head, messages[first].id);
        put32(head, messages[last - 1].id);
        put32(head, uint32_t(offset + entries.size()));
        for (size_t i = first; i < last; ++i) {
            size_t length = (4 + messages[i].text.size() + 1 + 3) & ~size_t(3);
            entries += char(length & 0xFF);
            entries += char(length >> 8);
            entries += std::string(2, '\0');
            entries += messages[i].text;
            entries += std::string(length - 4 - messages[i].text.size(), '\0');
        }
    }
    return head + entries;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) {
        std::cerr << "usage: message_compiler SOURCE.mc HEADER TABLE [RESOURCE.bin]\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "message_compiler: cannot read " << argv[1] << "\n";
        return 1;
    }
    std::map<std::string, uint32_t> severities, facilities;
    std::vector<Message> messages;
    Message current;
    uint32_t severity = 0, facility = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string t = Trim(line);
        if (t.empty() || t[0] == ';') {
            continue;
        }
        std::string key = Trim(t.substr(0, t.find('=')));
        std::string value = t.find('=') == std::string::npos ? "" : Trim(t.substr(t.find('=') + 1));
        if (key == "SeverityNames") {
            ParseNames(in, t, severities);
        } else if (key == "FacilityNames") {
            ParseNames(in, t, facilities);
        } else if (key == "MessageId") {
            current = Message{};
            current.id = uint32_t(std::stoul(value, nullptr, 0));
        } else if (key == "Severity") {
            severity = severities.at(value);
        } else if (key == "Facility") {
            facility = facilities.at(value);
        } else if (key == "SymbolicName") {
            current.symbol = value;
        } else if (key == "Language") {
            // The text follows, line by line, up to a line holding a single period.
            while (std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                if (line == ".") {
                    break;
                }
                current.text += line + "\r\n";
            }
            current.id |= severity << 30 | facility << 16;
            messages.push_back(current);
        }
    }

    std::ofstream header(argv[2]);
    header << "// Message ids of the driver, compiled from its message table. Generated: do not edit.\n"
              "#pragma once\n\n#include \"platform/wdm.h\"\n\n";
    for (const Message& m : messages) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", m.id);
        header << "constexpr NTSTATUS " << m.symbol << " = static_cast<NTSTATUS>(" << id << ");\n";
    }
    std::ofstream table(argv[3]);
    table << "// The driver's message table for the event viewer. Generated: do not edit.\n";
    for (const Message& m : messages) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08Xu", m.id);
        table << "{" << id << ", \"" << m.symbol << "\", \"" << Escape(m.text) << "\"},\n";
    }
    if (argc == 5) {
        std::ofstream resource(argv[4], std::ios::binary);
        resource << MessageResource(messages);
        if (!resource) {
            std::cerr << "message_compiler: cannot write " << argv[4] << "\n";
            return 1;
        }
    }
    if (!header || !table) {
        std::cerr << "message_compiler: cannot write the outputs\n";
        return 1;
    }
    return 0;
}
