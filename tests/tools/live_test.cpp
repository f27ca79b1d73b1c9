// gvspfilter live against gvspfilter camera and against Aravis's fake camera, and Aravis's
// arv-camera-test against gvspfilter camera, across a veth pair between two network namespaces the
// test makes for itself: GVCP control, the camera's settings, the stream, its losses and their
// resends over real sockets. Needs root and `ip`; all traffic stays inside the two namespaces
// (TEST-NET-1 addresses).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pcap/pcap.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tools/genicam.h"
#include "tools/gvcp.h"
#include "tools/network.h"

extern char** environ;

namespace {

constexpr const char* CAMERA_IP = "192.0.2.10";
constexpr const char* HOST_IP = "192.0.2.2";

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

struct CommandRun {
    int exitStatus = -1;
    std::string out;   // stdout and stderr together
};
CommandRun RunCommand(const std::string& command)
{
    CommandRun run;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        run.out.append(chunk, n);
    }
    const int status = pclose(pipe);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// Two namespaces joined by a veth pair, removed with the object whatever happened.
class NamespacePair {
public:
    NamespacePair()
    {
        const std::string id = std::to_string(getpid());
        camera = "gvspcam" + id;
        host = "gvsphost" + id;
        cameraVeth = "gvc" + id;
        hostVeth = "gvh" + id;
        ready = Shell("ip netns add " + camera) == 0 && Shell("ip netns add " + host) == 0 &&
                Shell("ip link add " + cameraVeth + " netns " + camera + " type veth peer name " + hostVeth + " netns " + host) == 0 &&
                Shell("ip -n " + camera + " addr add " + CAMERA_IP + "/24 dev " + cameraVeth) == 0 &&
                Shell("ip -n " + host + " addr add " + HOST_IP + "/24 dev " + hostVeth) == 0 &&
                Shell("ip -n " + camera + " link set " + cameraVeth + " up") == 0 &&
                Shell("ip -n " + host + " link set " + hostVeth + " up") == 0;
    }
    ~NamespacePair()
    {
        Shell("ip netns del " + camera);   // takes the veth pair with it
        Shell("ip netns del " + host);
    }
    std::string InHost(const std::string& arguments) const { return "ip netns exec " + host + " " + GVSPFILTER_BINARY + " " + arguments; }

    std::string camera, host, cameraVeth, hostVeth;
    bool ready = false;
};

// A camera program (`gvspfilter camera` unless told otherwise) in the camera's namespace, stopped
// with SIGTERM as Ctrl-C would.
class CameraProcess {
public:
    CameraProcess(const NamespacePair& net, const std::vector<std::string>& options, const std::string& log,
        std::vector<std::string> program = {GVSPFILTER_BINARY, "camera", "--address", CAMERA_IP})
    {
        std::vector<std::string> args = {"ip", "netns", "exec", net.camera};
        args.insert(args.end(), program.begin(), program.end());
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&files, STDOUT_FILENO, STDERR_FILENO);
        if (posix_spawnp(&pid_, "ip", &files, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&files);
        usleep(300'000);   // until its GVCP socket is bound
    }
    ~CameraProcess() { Stop(); }
    int Stop()
    {
        int status = -1;
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        return status;
    }

private:
    pid_t pid_ = -1;
};

bool CanMakeNamespaces() { return geteuid() == 0 && Shell("ip netns list") == 0; }

// Moves the calling thread into network namespace `netns`.
bool JoinNamespace(const std::string& netns)
{
    const int fd = open(("/var/run/netns/" + netns).c_str(), O_RDONLY);
    const bool joined = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return joined;
}

// Every live test runs across a namespace pair of its own.
class LiveCommand : public testing::Test {
protected:
    void SetUp() override
    {
        if (!CanMakeNamespaces()) {
            GTEST_SKIP() << "needs root and the ip command to make network namespaces and a veth pair";
        }
        ASSERT_TRUE(net.ready) << "could not set up the namespaces and the veth pair";
    }
    NamespacePair net;
};

// What arrives on the host's veth, captured with libpcap from a thread that joined the host's
// namespace: the wire as it was, independent of the driver.
class WireCapture {
public:
    WireCapture(const NamespacePair& net)
    {
        thread_ = std::thread([this, &net] { Run(net.host, net.hostVeth); });
        while (state_ == 0) {
            usleep(10'000);
        }
    }
    ~WireCapture() { Stop(); }
    bool Ready() const { return state_ == 1; }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::vector<std::vector<uint8_t>> frames;   // after Stop()

private:
    void Run(const std::string& netns, const std::string& veth)
    {
        char error[PCAP_ERRBUF_SIZE] = {};
        pcap_t* pcap = JoinNamespace(netns) ? pcap_create(veth.c_str(), error) : nullptr;
        if (pcap == nullptr || pcap_set_immediate_mode(pcap, 1) != 0 || pcap_set_buffer_size(pcap, 16 << 20) != 0 ||
            pcap_set_timeout(pcap, 10) != 0 || pcap_activate(pcap) != 0 || pcap_setdirection(pcap, PCAP_D_IN) != 0) {
            state_ = 2;
            return;
        }
        state_ = 1;
        while (!stop_) {
            pcap_dispatch(pcap, -1, [](u_char* self, const pcap_pkthdr* header, const u_char* bytes) {
                reinterpret_cast<WireCapture*>(self)->frames.emplace_back(bytes, bytes + header->caplen);
            }, reinterpret_cast<u_char*>(this));
        }
        pcap_close(pcap);
    }

    std::thread thread_;
    std::atomic<int> state_{0};   // 0 starting, 1 capturing, 2 failed
    std::atomic<bool> stop_{false};
};

// Every block's payload rebuilt from the GVSP payload packets to `port`, in packet id order, by
// 16-bit block id; a block with a packet id missing is left out.
std::map<uint16_t, std::vector<uint8_t>> RebuildBlocks(const std::vector<std::vector<uint8_t>>& frames, uint16_t port)
{
    std::map<uint16_t, std::map<uint32_t, std::vector<uint8_t>>> packets;
    for (const std::vector<uint8_t>& f : frames) {
        const size_t ip = 14, udp = ip + size_t{f.size() > ip ? (f[ip] & 0x0Fu) * 4u : 0u}, gvsp = udp + 8;
        if (f.size() < gvsp + 8 || f[12] != 0x08 || f[13] != 0x00 || f[ip + 9] != 17 || (f[udp + 2] << 8 | f[udp + 3]) != port ||
            (f[gvsp + 4] & 0x0F) != 3) {
            continue;   // not a GVSP payload packet of this stream
        }
        const uint16_t block = static_cast<uint16_t>(f[gvsp + 2] << 8 | f[gvsp + 3]);
        const uint32_t id = uint32_t{f[gvsp + 5]} << 16 | uint32_t{f[gvsp + 6]} << 8 | f[gvsp + 7];
        packets[block][id].assign(f.begin() + static_cast<std::ptrdiff_t>(gvsp + 8), f.end());
    }
    std::map<uint16_t, std::vector<uint8_t>> blocks;
    for (const auto& [block, byId] : packets) {
        if (byId.begin()->first == 1 && byId.rbegin()->first == byId.size()) {
            for (const auto& [id, payload] : byId) {
                blocks[block].insert(blocks[block].end(), payload.begin(), payload.end());
            }
        }
    }
    return blocks;
}

TEST_F(LiveCommand, StreamsFromTheCameraDeviceByteExactWhileResendsRecoverItsLosses)
{
    const std::string dir = testing::TempDir();
    // By default AF_XDP, which a veth pair allows; TPACKET_V3 when asked for.
    for (const auto& [option, ring] : {std::pair{"", "xdp"}, std::pair{"--ring tpacket ", "tpacket"}}) {
        SCOPED_TRACE(ring);
        CameraProcess camera(net, {"--width", "320", "--height", "240", "--pixel-format", "mono8", "--fps", "20", "--loss", "1",
            "--zip-xml", "--seconds", "120", "--json", dir + "live_camera.json"}, dir + "live_camera.log");

        const CommandRun run = RunCommand(net.InHost("live --interface " + net.hostVeth + " --camera " + CAMERA_IP + " " + option +
                                                     "--frames 200 --seconds 60 --verify-pattern --json " + dir + "live.json"));
        ASSERT_EQ(camera.Stop(), 0);

        const nlohmann::json live = nlohmann::json::parse(std::ifstream(dir + "live.json"));
        // A frame whose resent packets come after the next frame completed is given up: the summary
        // names the loss and the run fails.
        const nlohmann::json& blocks = live["block_counts"];
        const uint64_t lost = blocks["given_up"].get<uint64_t>() + blocks["skipped"].get<uint64_t>();
        EXPECT_EQ(run.exitStatus, lost == 0 ? 0 : 1) << run.out;
        EXPECT_EQ(run.out.find("in the driver: ") != std::string::npos, lost != 0) << run.out;
        EXPECT_EQ(live["frame_events"], "heard");
        EXPECT_EQ(live["capture"]["ring"], ring);
        EXPECT_TRUE(live["lost_before_driver"].empty()) << live["lost_before_driver"];
        EXPECT_GE(live["frames_complete"], 200u);   // frames that closed while the run stopped come too
        EXPECT_EQ(live["frames_incomplete"], 0u);
        EXPECT_EQ(live["frames_corrupt"], 0u);
        EXPECT_TRUE(live["checker"].empty()) << live["checker"];
        EXPECT_EQ(live["settings"]["description"], "CameraEmulator.zip");
        EXPECT_EQ(live["settings"]["pixel_format"], "Mono8");
        EXPECT_EQ(live["settings"]["frame_size"], 320u * 240u);
        EXPECT_GT(live["counters"]["ResentPackets"], 0u);

        // What the camera lost on purpose came back through the driver's requests on the wire, and
        // the run ended with control handed back.
        const nlohmann::json sent = nlohmann::json::parse(std::ifstream(dir + "live_camera.json"));
        EXPECT_GT(sent["packets_dropped"], 0u);
        EXPECT_EQ(sent["resend_requests"], live["capture"]["packets_injected"]);
        EXPECT_GE(sent["packets_resent"], live["counters"]["ResentPackets"]);
        EXPECT_EQ(sent["control_taken"], 1u);
        EXPECT_EQ(sent["heartbeat_expiries"], 0u);
    }
}

// A ring of 1 MiB under a stream of 4 MiB frames: what the kernel could not put in the ring is
// named in the summary and the report, and fails the run.
TEST_F(LiveCommand, PacketsTheRingHadNoRoomForAreNamedAndFailTheRun)
{
    const std::string dir = testing::TempDir();
    struct Case {
        const char* ring;
        const char* key;
        std::string what;
    };
    const Case cases[] = {
        {"xdp", "xdp_rx_dropped", "packet dropped by the kernel, no free frame for the AF_XDP socket"},
        {"tpacket", "packets_dropped_by_kernel", "packet dropped by the kernel, the receive ring full"},
    };
    for (const Case& c : cases) {
        CameraProcess camera(net, {"--width", "2048", "--height", "2048", "--fps", "30"}, dir + "ring_camera.log");
        const CommandRun run = RunCommand(net.InHost("live --interface " + net.hostVeth + " --camera " + CAMERA_IP + " --ring " +
                                                     c.ring + " --ring-mib 1 --seconds 3 --json " + dir + "ring.json"));
        const nlohmann::json live = nlohmann::json::parse(std::ifstream(dir + "ring.json"));
        const uint64_t dropped = live["capture"][c.key];
        EXPECT_GT(dropped, 0u) << c.ring << "\n" << run.out;
        EXPECT_EQ(run.exitStatus, 1) << run.out;
        EXPECT_EQ(live["lost_before_driver"][c.what], dropped) << live["lost_before_driver"];
        EXPECT_NE(run.out.find(std::to_string(dropped) + " packets" + c.what.substr(6)), std::string::npos) << run.out;
        EXPECT_TRUE(live["checker"].empty()) << live["checker"];
    }
}

// A counter "name = value" of arv-camera-test's summary; -1 when it is not there.
int64_t ArvCounter(const std::string& out, const std::string& name)
{
    const size_t at = out.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stoll(out.substr(out.find('=', at) + 1));
}

TEST_F(LiveCommand, AravisStreamsFromTheCameraDeviceWithResendsItSwitchedOnItself)
{
    if (Shell("command -v arv-camera-test-0.8") != 0) {
        GTEST_SKIP() << "arv-camera-test-0.8 (Debian package aravis-tools-cli) is not installed";
    }
    const std::string dir = testing::TempDir();
    CameraProcess camera(net, {"--loss", "1", "--json", dir + "arv_camera.json"}, dir + "arv_camera.log");
    // Free-running, then a frame per software trigger (none would come without the triggers).
    for (const char* options : {"--duration 3", "--duration 2 --software-trigger 10"}) {
        const CommandRun run = RunCommand("ip netns exec " + net.host + " arv-camera-test-0.8 -n " + CAMERA_IP + " " + options);
        EXPECT_EQ(run.exitStatus, 0) << run.out;
        EXPECT_GT(ArvCounter(run.out, "n_completed_buffers"), 0) << run.out;
        EXPECT_EQ(ArvCounter(run.out, "n_failures"), 0) << run.out;
        EXPECT_EQ(ArvCounter(run.out, "n_missing_frames"), 0) << run.out;
        EXPECT_GT(ArvCounter(run.out, "n_resent_packets"), 0) << run.out;
    }
    ASSERT_EQ(camera.Stop(), 0);
    const nlohmann::json sent = nlohmann::json::parse(std::ifstream(dir + "arv_camera.json"));
    EXPECT_GT(sent["packets_dropped"], 0u);
    EXPECT_EQ(sent["resend_requests_unanswered"], 0u);
}

TEST_F(LiveCommand, RefusesBadInputWithOneLineAndStatus2)
{
    struct Case {
        std::string arguments;
        std::string message;
    };
    const Case cases[] = {
        {"live --interface nosuch0 --camera " + std::string(CAMERA_IP), "gvspfilter: no such interface 'nosuch0'\n"},
        {"live --interface " + net.hostVeth + " --camera 192.0.2.99", "gvspfilter: camera 192.0.2.99 does not answer GVCP\n"},
        {"live --interface " + net.hostVeth + " --port 5000", "gvspfilter: without --camera, give the stream's --port, --packet-size and --frame-size\n"},
        {"camera --address 192.0.2.99", "gvspfilter: address 192.0.2.99 is not an address of this machine\n"},
        {"live --interface " + net.hostVeth + " --width 320", "gvspfilter: the camera's settings (--width ... --feature) need --camera\n"},
        {"live --interface " + net.hostVeth + " --camera 192.0.2.99 --feature Width", "gvspfilter: --feature takes Name=Value, not 'Width'\n"},
        {"discover --interface nosuch0", "gvspfilter: no such interface 'nosuch0'\n"},
    };
    for (const Case& c : cases) {
        const CommandRun run = RunCommand(net.InHost(c.arguments));
        EXPECT_EQ(run.exitStatus, 2) << c.arguments << "\n" << run.out;
        EXPECT_EQ(run.out, c.message) << c.arguments;
    }
    const CommandRun nobody = RunCommand(net.InHost("discover --interface " + net.hostVeth));
    EXPECT_EQ(nobody.exitStatus, 1);
    EXPECT_EQ(nobody.out, "no camera answered within 1 s on " + net.hostVeth + "\n");
}

TEST_F(LiveCommand, SetsUpAravisFakeCameraAndEveryFrameMatchesTheWire)
{
    if (Shell("command -v arv-fake-gv-camera-0.8") != 0) {
        GTEST_SKIP() << "Aravis's fake camera (arv-fake-gv-camera-0.8, package aravis-tools) is not installed";
    }
    const std::string dir = testing::TempDir() + "fake_camera/";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    CameraProcess camera(net, {"-i", net.cameraVeth}, dir + "camera.log", {"arv-fake-gv-camera-0.8"});
    const std::string live = "live --interface " + net.hostVeth + " --camera " + CAMERA_IP;

    // A value out of range is refused before anything streams.
    const CommandRun refused = RunCommand(net.InHost(live + " --width 100000"));
    EXPECT_EQ(refused.exitStatus, 2) << refused.out;
    EXPECT_EQ(refused.out.rfind("gvspfilter: Width 100000 is out of range (1 to ", 0), 0u) << refused.out;
    EXPECT_EQ(std::count(refused.out.begin(), refused.out.end(), '\n'), 1) << refused.out;

    // An XDP program would take the stream before any capture sees it: this run uses the packet ring.
    WireCapture wire(net);
    ASSERT_TRUE(wire.Ready()) << "cannot capture on " << net.hostVeth;
    const CommandRun run = RunCommand(net.InHost(live + " --ring tpacket --width 320 --height 240 --pixel-format Mono8 --fps 20 --frames 40 "
                                                        "--seconds 30 --save " + dir + " --format raw --json " + dir + "live.json"));
    wire.Stop();
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    // The fake camera does not resend: the run says so and asks for nothing.
    EXPECT_NE(run.out.find("does not resend packets"), std::string::npos) << run.out;

    const nlohmann::json report = nlohmann::json::parse(std::ifstream(dir + "live.json"));
    EXPECT_GE(report["frames_complete"], 40u);
    EXPECT_EQ(report["frames_incomplete"], 0u);
    const nlohmann::json& settings = report["settings"];
    EXPECT_EQ(settings["width"], 320);
    EXPECT_EQ(settings["height"], 240);
    EXPECT_EQ(settings["pixel_format"], "Mono8");
    EXPECT_EQ(settings["frame_size"], 320u * 240u);
    EXPECT_EQ(settings["resend"], false);

    // Every saved frame holds exactly what the wire carried for its block.
    const std::map<uint16_t, std::vector<uint8_t>> blocks = RebuildBlocks(wire.frames, settings["port"].get<uint16_t>());
    size_t compared = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
        const std::string name = file.path().filename().string();
        if (name.rfind("block_", 0) != 0) {
            continue;
        }
        const uint16_t block = static_cast<uint16_t>(std::stoull(name.substr(6)));
        std::ifstream in(file.path(), std::ios::binary);
        const std::vector<uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
        ASSERT_TRUE(blocks.count(block)) << name << " has no complete block on the wire";
        EXPECT_EQ(saved.size(), 320u * 240u) << name;
        EXPECT_TRUE(saved == blocks.at(block)) << name << " differs from the wire";
        ++compared;
    }
    EXPECT_GE(compared, 40u);

    // discover finds the camera, and features lists it as live left it.
    const CommandRun found = RunCommand(net.InHost("discover --interface " + net.hostVeth));
    EXPECT_EQ(found.exitStatus, 0) << found.out;
    EXPECT_TRUE(std::regex_search(found.out, std::regex("\n192\\.0\\.2\\.10 +[0-9a-f:]{17} +Aravis +Fake +GV01\n"))) << found.out;
    const CommandRun features = RunCommand(net.InHost("features --camera " + std::string(CAMERA_IP)));
    EXPECT_EQ(features.exitStatus, 0) << features.out;
    EXPECT_TRUE(std::regex_search(features.out, std::regex("\n +Width +Integer +RW +320 +\\(1 to [0-9]+\\)\n"))) << features.out;
    EXPECT_TRUE(std::regex_search(features.out, std::regex("\n +PixelFormat +Enumeration +RW +Mono8 +\\(.*Mono16"))) << features.out;
}

// A hostile camera in the camera's namespace, on a thread of its own: it answers GVCP as a camera
// whose first URL names `xml`, zipped, each READMEM of it after `delayMs`, every register 0.
class HostileCamera {
public:
    HostileCamera(const NamespacePair& net, const std::string& xml, int delayMs)
        : file_(gvspfilter::ZipFile("Hostile.xml", {reinterpret_cast<const uint8_t*>(xml.data()), xml.size()})), delayMs_(delayMs)
    {
        const std::string url = gvspfilter::LocalUrlText({"Hostile.zip", gvspfilter::XML_FILE_ADDRESS, static_cast<uint32_t>(file_.size())});
        url_.assign(url.begin(), url.end());
        url_.resize(gvspfilter::REG_URL_BYTES);
        thread_ = std::thread([this, &net] { Serve(net.camera); });
        while (state_ == 0) {
            usleep(10'000);
        }
    }
    ~HostileCamera()
    {
        stop_ = true;
        thread_.join();
    }
    bool Ready() const { return state_ == 1; }

private:
    void Serve(const std::string& netns)
    {
        std::optional<gvspfilter::UdpSocket> socket;
        try {
            if (JoinNamespace(netns)) {
                socket.emplace(gvspfilter::ParseIpv4(CAMERA_IP, "camera"), GVCP_PORT);
            }
        } catch (const std::exception&) {
        }
        state_ = socket ? 1 : 2;
        while (socket && !stop_) {
            uint32_t from = 0;
            uint16_t port = 0;
            const auto datagram = socket->ReceiveFrom(50, &from, &port);
            const auto command = datagram ? gvspfilter::ParseCommand(*datagram) : std::nullopt;
            if (!command || command->payload.size() < 4) {
                continue;
            }
            gvspfilter::GvcpAck ack{gvspfilter::GVCP_STATUS_SUCCESS, static_cast<uint16_t>(command->command + 1), command->requestId, {}};
            ack.payload.resize(command->command == gvspfilter::GVCP_READREG_CMD ? command->payload.size() : 4);
            if (command->command == gvspfilter::GVCP_READMEM_CMD && command->payload.size() == 8) {
                const uint32_t address = ReadBigEndian32(command->payload.data());
                const bool url = address < gvspfilter::XML_FILE_ADDRESS;
                const std::vector<uint8_t>& bytes = url ? url_ : file_;
                const size_t at = address - (url ? gvspfilter::REG_FIRST_URL : gvspfilter::XML_FILE_ADDRESS);
                ack.payload.assign(command->payload.begin(), command->payload.begin() + 4);
                for (size_t i = at; i < at + ReadBigEndian16(&command->payload[6]); ++i) {
                    ack.payload.push_back(i < bytes.size() ? bytes[i] : 0);
                }
                usleep(url ? 0 : delayMs_ * 1000);
            }
            socket->SendTo(from, port, gvspfilter::EncodeAck(ack));
        }
    }

    std::vector<uint8_t> file_, url_;
    const int delayMs_;
    std::thread thread_;
    std::atomic<int> state_{0};   // 0 starting, 1 serving, 2 failed
    std::atomic<bool> stop_{false};
};

// A camera that answers with a description nested too deep or holding too many elements gets one
// line and status 2; one that answers every READMEM after 0.45 s is given up at --timeout, and a
// SIGINT during its download ends the run at once (SIGKILL comes 10 s later only if it did not).
TEST_F(LiveCommand, AHostileCameraGetsOneLineAndABoundedRun)
{
    const auto repeat = [](const std::string& text, int times) {
        std::string repeated;
        for (int i = 0; i < times; ++i) {
            repeated += text;
        }
        return repeated;
    };
    const std::string deep = repeat("<a>", 100'000) + repeat("</a>", 100'000);
    const std::string bomb = "<RegisterDescription>" + repeat("<a/>", 2'000'000) + "</RegisterDescription>";
    // Letters that do not compress: a zip of about 40 KB, some 70 READMEMs.
    std::string slow = "<RegisterDescription><!--";
    for (uint32_t i = 0, x = 1; i < 64 << 10; ++i) {
        x = x * 1103515245 + 12345;
        slow += static_cast<char>('a' + (x >> 16) % 26);
    }
    slow += "--></RegisterDescription>";
    const std::string live = "live --ring tpacket --interface " + net.hostVeth + " --camera " + CAMERA_IP;
    const std::string camera = "camera " + std::string(CAMERA_IP);
    const struct {
        const std::string& xml;
        int delayMs;
        std::string command;
        int exitStatus;
        std::string out;
    } cases[] = {
        {deep, 0, net.InHost(live), 2, "gvspfilter: the camera's description nests elements deeper than the 256 levels it may have\n"},
        {bomb, 0, net.InHost(live), 2, "gvspfilter: the camera's description has more than the 1000000 elements and attributes it may have\n"},
        {slow, 450, net.InHost(live + " --timeout 2"), 2, "gvspfilter: " + camera + "'s description was not read within 2 s\n"},
        {slow, 450, "timeout --preserve-status -s INT -k 10 1 " + net.InHost(live), 1,
            "gvspfilter: stopped by a signal while waiting for " + camera + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const HostileCamera hostile(net, c.xml, c.delayMs);
        ASSERT_TRUE(hostile.Ready());
        const CommandRun run = RunCommand(c.command);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.out;
        EXPECT_EQ(run.out, c.out);
    }
}

}  // namespace
