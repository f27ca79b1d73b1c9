// gvspfilter live against gvspfilter camera across a veth pair between two network namespaces the
// test makes for itself: GVCP control, the stream, its losses and their resends over real sockets.
// Needs root and `ip`; all traffic stays inside the two namespaces (TEST-NET-1 addresses).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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

// `gvspfilter camera` in the camera's namespace, stopped with SIGTERM as Ctrl-C would.
class CameraProcess {
public:
    CameraProcess(const NamespacePair& net, const std::vector<std::string>& options, const std::string& log)
    {
        std::vector<std::string> args = {"ip", "netns", "exec", net.camera, GVSPFILTER_BINARY, "camera", "--address", CAMERA_IP};
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

TEST(LiveCommand, StreamsFromTheCameraDeviceByteExactWhileResendsRecoverItsLosses)
{
    if (!CanMakeNamespaces()) {
        GTEST_SKIP() << "needs root and the ip command to make network namespaces and a veth pair";
    }
    NamespacePair net;
    ASSERT_TRUE(net.ready) << "could not set up the namespaces and the veth pair";
    const std::string dir = testing::TempDir();
    CameraProcess camera(net, {"--width", "320", "--height", "240", "--pixel-format", "mono8", "--fps", "20", "--loss", "1",
        "--zip-xml", "--seconds", "120", "--json", dir + "live_camera.json"}, dir + "live_camera.log");

    const CommandRun run = RunCommand(net.InHost(
        "live --interface " + net.hostVeth + " --camera " + CAMERA_IP + " --frames 200 --seconds 60 --verify-pattern --json " +
        dir + "live.json"));
    ASSERT_EQ(camera.Stop(), 0);

    const nlohmann::json live = nlohmann::json::parse(std::ifstream(dir + "live.json"));
    // A frame whose resent packets come after the next frame completed is given up: the summary
    // names the loss and the run fails.
    const nlohmann::json& blocks = live["block_counts"];
    const uint64_t lost = blocks["given_up"].get<uint64_t>() + blocks["skipped"].get<uint64_t>();
    EXPECT_EQ(run.exitStatus, lost == 0 ? 0 : 1) << run.out;
    EXPECT_EQ(run.out.find("in the driver: ") != std::string::npos, lost != 0) << run.out;
    EXPECT_EQ(live["frame_events"], "heard");
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

TEST(LiveCommand, RefusesBadInputWithOneLineAndStatus2)
{
    if (!CanMakeNamespaces()) {
        GTEST_SKIP() << "needs root and the ip command to make network namespaces and a veth pair";
    }
    NamespacePair net;
    ASSERT_TRUE(net.ready) << "could not set up the namespaces and the veth pair";
    struct Case {
        std::string arguments;
        std::string message;
    };
    const Case cases[] = {
        {"live --interface nosuch0 --camera " + std::string(CAMERA_IP), "gvspfilter: no such interface 'nosuch0'\n"},
        {"live --interface " + net.hostVeth + " --camera 192.0.2.99", "gvspfilter: camera 192.0.2.99 does not answer GVCP\n"},
        {"live --interface " + net.hostVeth + " --port 5000", "gvspfilter: without --camera, give the stream's --port, --packet-size and --frame-size\n"},
        {"camera --address 192.0.2.99", "gvspfilter: address 192.0.2.99 is not an address of this machine\n"},
    };
    for (const Case& c : cases) {
        const CommandRun run = RunCommand(net.InHost(c.arguments));
        EXPECT_EQ(run.exitStatus, 2) << c.arguments << "\n" << run.out;
        EXPECT_EQ(run.out, c.message) << c.arguments;
    }
}

}  // namespace
