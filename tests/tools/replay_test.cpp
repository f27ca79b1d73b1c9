// gvspfilter replay as a user runs it: a capture written from the camera emulator's packets (a
// block-id wrap, a lost trailer, short frames without filler) played through the command, with
// chosen losses, answered resends, the packets the driver sent, and bad input. Host tests only.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <nlohmann/json.hpp>

#include "base/stream_memory.h"
#include "camera/camera.h"
#include "host/machine.h"
#include "host/ndis/ndis.h"
#include "tests/support/run_tool.h"
#include "tools/image.h"

namespace {

using Frames = std::vector<std::vector<uint8_t>>;

constexpr camera::Mac HOST_MAC{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint64_t LOST_TRAILER_BLOCK = 65535;
constexpr size_t BLOCKS = 5;   // 65534, 65535, 1, 2, 3

camera::CameraConfig StreamConfig()
{
    camera::CameraConfig config;
    config.hostMac = HOST_MAC;
    config.firstBlockId = 65534;
    config.padToMinimum = false;   // as a veth interface captures them
    return config;                 // 64 x 64 Mono8: leader, three payload packets, trailer (id 4)
}

// Runs `use` with a camera on a filter-less adapter of a machine of its own.
template <typename Use>
void WithCamera(const camera::CameraConfig& config, Use use)
{
    host::Machine machine;
    host::AdapterConfig adapterConfig;
    adapterConfig.mac = HOST_MAC;
    host::Adapter& adapter = host::AddAdapter(adapterConfig);
    adapter.SetProtocolReturns(host::ProtocolReturns::Hold);
    {
        camera::Camera cam(adapter, config);
        use(cam, adapter);
        adapter.ReturnHeldReceives();
        EXPECT_TRUE(cam.ReleaseReturned());
    }
    host::RemoveAdapter(adapter);
}

// What the camera put on the wire: a foreign UDP datagram first, then BLOCKS blocks with the
// trailer of LOST_TRAILER_BLOCK lost.
Frames CameraCapture(const camera::CameraConfig& config)
{
    Frames frames;
    frames.push_back(std::vector<uint8_t>(60, 0));
    std::vector<uint8_t>& foreign = frames.back();
    std::copy(HOST_MAC.begin(), HOST_MAC.end(), foreign.begin());
    const uint8_t headers[] = {0x08, 0x00, 0x45, 0, 0, 46, 0, 0, 0, 0, 64, 17, 0, 0, 192, 0, 2, 9, 192, 0, 2, 2,
        0x13, 0x89, 0x13, 0x89, 0, 26};
    std::copy(std::begin(headers), std::end(headers), foreign.begin() + 12);
    WithCamera(config, [&](camera::Camera& cam, host::Adapter& adapter) {
        cam.DropPacket(LOST_TRAILER_BLOCK, cam.TrailerPacketId());
        cam.SendBlocks(BLOCKS);
        for (const host::IndicationRecord& record : adapter.IndicatedAbove()) {
            for (PNET_BUFFER_LIST list : record.lists) {
                frames.push_back(host::NetBufferBytes(list->FirstNetBuffer));
            }
        }
    });
    return frames;
}

// A pcap file of `frames`, 50 microseconds apart.
void WritePcap(const std::string& path, const Frames& frames)
{
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr);
    for (size_t i = 0; i < frames.size(); ++i) {
        pcap_pkthdr header{};
        header.ts.tv_sec = 1'700'000'000;
        header.ts.tv_usec = static_cast<suseconds_t>(i * 50);
        header.caplen = header.len = static_cast<bpf_u_int32>(frames[i].size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frames[i].data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

// The bytes of a pcap file of `frames` with `linkType` and `snapLength` in its header, each record
// saying it holds its frame whole: cases then damage them where they like.
std::vector<uint8_t> PcapBytes(const Frames& frames, uint32_t linkType = 1, uint32_t snapLength = 65535)
{
    std::vector<uint8_t> file;
    const auto words = [&](std::initializer_list<uint32_t> values) {
        for (uint32_t v : values) {
            file.insert(file.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
        }
    };
    words({0xA1B2C3D4, 0x00040002, 0, 0, snapLength, linkType});
    for (const std::vector<uint8_t>& frame : frames) {
        words({1'700'000'000, 0, uint32_t(frame.size()), uint32_t(frame.size())});
        file.insert(file.end(), frame.begin(), frame.end());
    }
    return file;
}

// An Ethernet frame to the stream's port carrying `gvsp`.
std::vector<uint8_t> StreamFrame(std::vector<uint8_t> gvsp)
{
    std::vector<uint8_t> frame(HOST_MAC.begin(), HOST_MAC.end());
    const uint8_t headers[] = {2, 0, 0, 0, 0, 1, 0x08, 0x00, 0x45, 0, 0, 0, 0, 0, 0, 0, 64, 17, 0, 0, 192, 0, 2, 9,
        192, 0, 2, 2, 0x4E, 0x20, 0xC3, 0x50, uint8_t((gvsp.size() + 8) >> 8), uint8_t(gvsp.size() + 8), 0, 0};
    frame.insert(frame.end(), std::begin(headers), std::end(headers));
    frame.insert(frame.end(), gvsp.begin(), gvsp.end());
    return frame;
}

// A pcapng file of `frame` on an interface whose time offset is `offsetSeconds`.
void WritePcapngWithOffset(const std::string& path, const std::vector<uint8_t>& frame, uint64_t offsetSeconds)
{
    std::vector<uint8_t> file;
    const auto block = [&](uint32_t type, std::vector<uint8_t> body) {
        body.resize((body.size() + 3) / 4 * 4);
        const uint32_t length = static_cast<uint32_t>(body.size() + 12);
        const auto word = [&](uint32_t value) {
            file.insert(file.end(), {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
        };
        word(type);
        word(length);
        file.insert(file.end(), body.begin(), body.end());
        word(length);
    };
    block(0x0A0D0D0A, {0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    std::vector<uint8_t> interface{1, 0, 0, 0, 0, 0, 0, 0, 14, 0, 8, 0};   // Ethernet, if_tsoffset
    for (int i = 0; i < 8; ++i) {
        interface.push_back(uint8_t(offsetSeconds >> (8 * i)));
    }
    interface.insert(interface.end(), {0, 0, 0, 0});
    block(1, interface);
    std::vector<uint8_t> packet(12, 0);
    const uint32_t length = static_cast<uint32_t>(frame.size());
    for (int i = 0; i < 2; ++i) {
        packet.insert(packet.end(), {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)});
    }
    packet.insert(packet.end(), frame.begin(), frame.end());
    block(6, packet);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
}

Frames ReadPcap(const std::string& path)
{
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(path.c_str(), error);
    Frames frames;
    EXPECT_NE(handle, nullptr) << error;
    pcap_pkthdr* header;
    const u_char* data;
    while (handle != nullptr && pcap_next_ex(handle, &header, &data) == 1) {
        frames.emplace_back(data, data + header->caplen);
    }
    if (handle != nullptr) {
        pcap_close(handle);
    }
    return frames;
}

class Replay : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::path(::testing::TempDir()) /
              ("replay_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        capture = (dir / "stream.pcap").string();
        WritePcap(capture, CameraCapture(StreamConfig()));
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    nlohmann::json Report() const { return nlohmann::json::parse(std::ifstream(dir / "report.json")); }

    std::filesystem::path dir;
    std::string capture;
};

// Every block but the one whose trailer the capture lacks can arrive complete: lost on the way to
// the driver, its packets arrive only when the command answers the driver's requests, across the
// block-id wrap too. Saved images hold the camera's own pixels. The block without its trailer
// fails every run.
TEST_F(Replay, FramesArriveAsTheCaptureAndTheAnswersAllow)
{
    const std::set<uint64_t> allButLost{65534, 1, 2, 3};
    const struct {
        std::string options;
        std::set<uint64_t> complete;
    } cases[] = {
        {"", allButLost},
        {"--drop 2", {}},
        {"--drop 2 --answer-resends", allButLost},
        {"--drop 1,trailer --answer-resends", allButLost},
        {"--drop 0,trailer --answer-resends", allButLost},   // leaders answered across the wrap
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const std::filesystem::path images = dir / "images";
        std::filesystem::remove_all(images);
        const gvsptest::ToolRun run = gvsptest::RunTool("replay " + capture + " " + c.options + " --save " +
                                                        images.string() + " --format raw --json " +
                                                        (dir / "report.json").string());
        EXPECT_EQ(run.exitStatus, 1) << run.out;
        const nlohmann::json report = Report();
        std::vector<uint64_t> listed;
        for (const nlohmann::json& block : report["blocks"]) {
            listed.push_back(block["block"]);
        }
        EXPECT_EQ(listed, (std::vector<uint64_t>{65534, 65535, 1, 2, 3})) << "each block once, in order across the wrap";
        std::set<uint64_t> complete;
        for (const nlohmann::json& frame : report["frames"]) {
            if (frame["status"] == FRAME_STATUS_COMPLETE) {
                complete.insert(frame["block"].get<uint64_t>());
            }
        }
        EXPECT_EQ(complete, c.complete);
        EXPECT_EQ(report["frames_expected_complete"], BLOCKS);
        EXPECT_EQ(report["settings"]["port"], StreamConfig().hostPort);
        for (uint64_t block : complete) {
            std::ifstream in(images / ("block_" + std::to_string(block) + ".raw"), std::ios::binary);
            const std::vector<uint8_t> pixels{std::istreambuf_iterator<char>(in), {}};
            EXPECT_EQ(pixels, camera::ExpectedPayload(block, StreamConfig().payloadSize)) << block;
        }
    }
}

// Every block of a lossy replay of the demo's capture is listed once, with the final status the
// driver's frame events, counters and buffers give it, in numbers that agree with the counters;
// the exit status, the losses and the result line say the same.
TEST_F(Replay, EveryBlockIsAccountedForOnceWithItsFinalStatus)
{
    const std::string demo = (dir / "demo.pcap").string();
    ASSERT_EQ(gvsptest::RunTool("demo --frames 12 --width 64 --height 64 --loss 0 --capture " + demo).exitStatus, 0);
    // Cut from the demo's capture: packet 1 of blocks 3, 8 and 9, blocks 5 and 6, block 12's trailer (4).
    Frames holes;
    for (const std::vector<uint8_t>& f : ReadPcap(demo)) {
        const uint16_t block = ReadBigEndian16(&f[44]), packet = ReadBigEndian16(&f[48]);
        if (f.size() < 50 || !((packet == 1 && (block == 3 || block == 8 || block == 9)) || block == 5 || block == 6 ||
                (block == 12 && packet == 4))) {
            holes.push_back(f);
        }
    }
    const std::string holed = (dir / "holed.pcap").string();
    WritePcap(holed, holes);
    using Statuses = std::map<uint64_t, std::string>;
    auto all = [](const std::string& status, Statuses others) {
        for (uint64_t block = 1; block <= 12; ++block) {
            others.emplace(block, status);
        }
        return others;
    };
    const struct {
        std::string arguments;
        int exitStatus;
        Statuses statuses;
    } cases[] = {
        {demo + " --drop 2 --answer-resends", 0, all("complete", {})},
        {demo + " --drop 2", 1, all("incomplete", {{11, "assembling"}, {12, "assembling"}})},
        {holed, 1, all("complete", {{3, "given up"}, {5, "skipped"}, {6, "skipped"}, {8, "incomplete"},
                                       {9, "given up"}, {12, "assembling"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const gvsptest::ToolRun run =
            gvsptest::RunTool("replay " + c.arguments + " --json " + (dir / "report.json").string());
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.out;
        const nlohmann::json report = Report();
        Statuses statuses;
        std::map<std::string, uint64_t> n;
        for (const nlohmann::json& block : report["blocks"]) {
            EXPECT_TRUE(statuses.emplace(block["block"], block["status"]).second) << block << " listed once";
            n[block["status"]] += 1;
        }
        EXPECT_EQ(statuses, c.statuses);
        const nlohmann::json& counters = report["counters"];
        EXPECT_EQ(n["given up"] + n["incomplete"], counters["IncompleteFrames"].get<uint64_t>());
        EXPECT_EQ(n["skipped"], counters["SkippedBlocks"]);
        EXPECT_EQ(n["assembling"], counters["AssemblingFrameCount"]);
        EXPECT_EQ(n["given up"], report["block_counts"]["given_up"]);
        EXPECT_EQ(run.out.find("in the driver: ") != std::string::npos, c.exitStatus != 0) << run.out;
        EXPECT_EQ(run.out.find("result:    every block the driver saw arrived complete (12 of 12)\n") != std::string::npos,
            c.exitStatus == 0) << run.out;
    }
}

// The PACKETRESEND requests in --sent reach the camera intact and name the packets held back.
TEST_F(Replay, SentRequestsAreWhatTheCameraReads)
{
    const std::string sent = (dir / "sent.pcap").string();
    const gvsptest::ToolRun run = gvsptest::RunTool("replay " + capture + " --drop 2 --answer-resends --sent " + sent);
    ASSERT_EQ(run.exitStatus, 1) << run.out;
    const Frames requests = ReadPcap(sent);
    ASSERT_FALSE(requests.empty());

    WithCamera(StreamConfig(), [&](camera::Camera& cam, host::Adapter& adapter) {
        cam.DropPacket(LOST_TRAILER_BLOCK, cam.TrailerPacketId());
        cam.SendBlocks(BLOCKS);
        std::vector<std::unique_ptr<host::Packet>> sends;
        for (const std::vector<uint8_t>& frame : requests) {
            sends.push_back(host::MakeFramePacket(frame));
            adapter.SendFromProtocol(sends.back()->List(), 0, 0);
        }
        cam.Pump();
        ASSERT_EQ(cam.ResendRequests().size(), requests.size());
        std::set<uint64_t> askedForPacket2;
        for (const camera::ResendRequest& r : cam.ResendRequests()) {
            EXPECT_EQ(r.frame.size(), 80u);
            EXPECT_TRUE(r.addressedToCamera && r.ipChecksumOk && r.udpChecksumOk && r.answered) << r.blockId;
            if (r.firstPacketId <= 2 && 2 <= r.lastPacketId) {
                askedForPacket2.insert(r.blockId);
            }
        }
        EXPECT_EQ(askedForPacket2, (std::set<uint64_t>{65534, 65535, 1, 2, 3}));
    });
}

// A datagram the network fragmented is no stream packet: its frame never arrives complete, and the
// run says that the camera's packets exceed the path's MTU.
TEST_F(Replay, AFragmentedPacketIsCountedAndCompletesNoFrame)
{
    Frames frames = CameraCapture(StreamConfig());
    for (std::vector<uint8_t>& f : frames) {
        if (f.size() > 50 && ReadBigEndian16(&f[44]) == 2 && ReadBigEndian16(&f[48]) == 2) {
            f[20] |= 0x20;   // block 2, packet 2: more fragments follow
        }
    }
    const std::string fragmented = (dir / "fragmented.pcap").string();
    WritePcap(fragmented, frames);
    const gvsptest::ToolRun run =
        gvsptest::RunTool("replay " + fragmented + " --answer-resends --json " + (dir / "report.json").string());
    EXPECT_EQ(run.exitStatus, 1) << run.out;
    EXPECT_NE(run.out.find("1 IP-fragmented datagrams reached the stream's port"), std::string::npos) << run.out;
    const nlohmann::json report = Report();
    EXPECT_EQ(report["fragmented_datagrams"], 1);
    for (const nlohmann::json& frame : report["frames"]) {
        EXPECT_EQ(frame["status"] == FRAME_STATUS_COMPLETE, frame["block"] != 2 && frame["block"] != 65535)
            << frame["block"];
    }
}

// Bad usage and hostile captures (damaged headers and records, foreign link types, odd IP and UDP
// lengths, the reproducers) end with one line and status 2, or run and count what the
// driver could not be given.
TEST_F(Replay, BadInputIsOneLineAndStatus2)
{
    const std::string truncated = (dir / "truncated.pcap").string();
    std::filesystem::copy_file(capture, truncated);
    std::filesystem::resize_file(truncated, std::filesystem::file_size(truncated) - 10);
    const std::string foreignOnly = (dir / "foreign.pcap").string();
    WritePcap(foreignOnly, {CameraCapture(StreamConfig()).front()});
    camera::CameraConfig huge = StreamConfig();
    huge.sizeX = huge.sizeY = 65536;
    const std::string absurd = (dir / "absurd.pcap").string();
    WritePcap(absurd, CameraCapture(huge));
    // A standard-header payload packet of 20 bytes, then an extended-id trailer of the same block.
    const std::string mixed = (dir / "mixed.pcap").string();
    const Frames mixedFrames{StreamFrame({0, 0, 0, 1, 3, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
        StreamFrame({0, 0, 0, 0, 0x82, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0})};
    WritePcap(mixed, mixedFrames);
    // A time stamp near the end of 64-bit nanoseconds: the run goes on (to its incomplete block).
    const std::string late = (dir / "late.pcapng").string();
    WritePcapngWithOffset(late, StreamFrame({0, 0, 0, 1, 3, 0, 0, 1, 9, 9}), 1ull << 62);

    // Hostile captures: damaged records and headers, and stream frames with odd IP and UDP lengths.
    const Frames frames = CameraCapture(StreamConfig());
    const auto write = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path;
    };
    const auto edited = [&](uint8_t mask, size_t at, uint8_t value) {   // every stream frame's byte `at`
        Frames copy = frames;
        for (size_t i = 1; i < copy.size(); ++i) {
            copy[i][at] = uint8_t((copy[i][at] & ~mask) | value);
        }
        return PcapBytes(copy);
    };
    std::vector<uint8_t> shortHeader = PcapBytes({}), longRecord = PcapBytes(frames);
    shortHeader.resize(20);
    longRecord[longRecord.size() - frames.back().size() - 8] = 0xF0;   // the last record's length: 2 KiB past the end
    Frames withEmpty = frames;
    withEmpty.insert(withEmpty.begin() + 2, std::vector<uint8_t>());
    std::ifstream lateFile(late, std::ios::binary);
    const std::vector<uint8_t> pcapng{std::istreambuf_iterator<char>(lateFile), {}};
    std::vector<uint8_t> oddBlock = pcapng, hugeBlock = pcapng;
    oddBlock[68] = 13;   // the packet block's length: not a multiple of 4, then far beyond the file
    hugeBlock[71] = 0x7F;

    const struct {
        std::string arguments;
        std::string message;
        int exitStatus = 2;
    } cases[] = {
        {write("short-header.pcap", shortHeader), "truncated"},
        {write("long-record.pcap", longRecord), "truncated"},
        {write("snap-length.pcap", PcapBytes(frames, 1, 64)), "result:", 1},
        {write("zero-length.pcap", PcapBytes(withEmpty)), "result:", 1},
        {write("link-type.pcap", PcapBytes(frames, 147)), "link type 147 is not Ethernet or Linux cooked"},
        {write("odd-block.pcapng", oddBlock), "multiple of 4"},
        {write("huge-block.pcapng", hugeBlock), "pcapng block size 2130706516 > maximum"},
        {write("ihl-0.pcap", edited(0x0F, 14, 0)), "no GigE Vision stream packets"},
        {write("ihl-15.pcap", edited(0x0F, 14, 15)), "no GigE Vision stream packets"},
        {write("udp-length.pcap", edited(0xFF, 38, 0xFF)), "result:", 1},
        {(dir / "missing.pcap").string(), "No such file"},
        {truncated, "truncated"},
        {foreignOnly, "no GigE Vision stream packets"},
        {capture + " --port 1234", "no GigE Vision stream packets to UDP port 1234"},
        {absurd, "65536 x 65536 image"},
        {mixed, "block 1 to UDP port 50000 has extended-id GVSP headers, block 1 before it standard ones"},
        {write("mixed-reversed.pcap", PcapBytes({mixedFrames[1], mixedFrames[0]})),
            "block 1 to UDP port 50000 has standard GVSP headers, block 1 before it extended-id ones"},
        {late, "result:", 1},
        {capture + " --drop 5-x", "--drop: '5-x' is not a packet id"},
        {capture + " --interface-mac 02:00", "02:00"},
    };
    for (const auto& c : cases) {
        const gvsptest::ToolRun run = gvsptest::RunTool("replay " + c.arguments);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << c.arguments << ": " << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.arguments << ": " << run.out;
        EXPECT_TRUE(c.exitStatus != 2 || std::count(run.out.begin(), run.out.end(), '\n') == 1)
            << c.arguments << ": " << run.out;
    }
}

// A leader whose width x height x bytes per pixel wraps in 64 bits, or which its frame cannot
// hold, writes no image and says why.
TEST_F(Replay, AnImageItsFrameCannotHoldIsNotWritten)
{
    const std::vector<uint8_t> payload(8191);
    const struct {
        uint32_t width, height;
    } cases[] = {{3037390391u, 3036610659u}, {64, 64}};
    for (const auto& c : cases) {
        const std::string problem = gvspfilter::WriteImage((dir / "block_1").string(), gvspfilter::ImageFormat::Png,
            {camera::PIXEL_FORMAT_MONO16, c.width, c.height}, payload);
        EXPECT_NE(problem.find(std::to_string(c.width) + " x " + std::to_string(c.height) +
                               " image of 2 bytes per pixel is not in the frame's 8191 bytes"),
            std::string::npos) << problem;
        EXPECT_FALSE(std::filesystem::exists(dir / "block_1.png"));
    }
}

}  // namespace
