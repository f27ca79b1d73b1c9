// The gvspfilter command as a user runs it: the demo streams through loss and recovers every
// frame byte for byte, its report agrees with the driver's counters, the event log of the run
// can be shown afterwards, and bad usage gets one clear line and exit status 2.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/run_tool.h"

using namespace gvsptest;

namespace {

class ToolDemo : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("gvspfilter-demo-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        // The run keeps its event log here for `gvspfilter events`.
        setenv("XDG_STATE_HOME", dir.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    nlohmann::json Report(const std::string& name) const
    {
        std::ifstream in(dir / name);
        return nlohmann::json::parse(in, nullptr, false);
    }

    std::filesystem::path dir;
};

TEST_F(ToolDemo, EveryFrameArrivesWholeThroughLossAndTheReportMatchesTheDriver)
{
    ToolRun run = RunTool("demo --frames 24 --width 320 --height 240 --pixel-format rgb8 --loss 2 --save " +
                          (dir / "frames").string() + " --json " + (dir / "report.json").string());
    ASSERT_EQ(run.exitStatus, 0) << run.out;
    nlohmann::json r = Report("report.json");
    ASSERT_FALSE(r.is_discarded()) << run.out;

    EXPECT_EQ(r["frames_complete"], 24);
    EXPECT_EQ(r["frames_incomplete"], 0);
    EXPECT_EQ(r["frames_corrupt"], 0);
    EXPECT_EQ(r["first_block"], 1);
    EXPECT_EQ(r["last_block"], 24);
    EXPECT_TRUE(r["checker"].empty());
    const nlohmann::json& c = r["counters"];
    EXPECT_EQ(c["AssembledFrames"], 24);
    EXPECT_GT(r["camera"]["packets_dropped"].get<uint64_t>(), 0u) << "the loss was exercised";
    EXPECT_EQ(c["ResentPackets"], r["camera"]["packets_resent"]);
    EXPECT_EQ(c["ResendPacketsRequested"], r["camera"]["packets_dropped"]);
    EXPECT_EQ(c["ResendRequests"], r["camera"]["resend_requests_heard"]);
    for (const nlohmann::json& frame : r["frames"]) {
        EXPECT_EQ(frame["status"], 0);
        EXPECT_EQ(frame["payload_bytes"], 320 * 240 * 3);
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "frames" / "block_24.png"));

    // The event log of that run, as the event viewer shows it.
    ToolRun events = RunTool("events");
    EXPECT_EQ(events.exitStatus, 0);
    EXPECT_NE(events.out.find("Information  kxGenICamForEthernet"), std::string::npos) << events.out;
    EXPECT_NE(events.out.find("Cache initialization is complete."), std::string::npos) << events.out;
    EXPECT_EQ(r["events"].size(), 8u);
}

// The exit status, the losses and the result line agree; options without a subcommand are the
// demo's.
TEST_F(ToolDemo, ExitStatusLossesAndResultAgree)
{
    const struct {
        std::string arguments;
        int exitStatus;
        std::string losses;
        std::string result;
    } cases[] = {
        {"--frames 10 --width 320 --height 240", 0, "losses:    before the driver: ",
            "result:    every block the driver saw arrived complete (10 of 10)\n"},
        {"demo --frames 30 --width 640 --height 480 --resend off --policy newest-waiting", 1,
            "frames handed over incomplete (", " of 30 blocks the driver saw arrived complete, 30 expected; the losses "
                                               "above fail the run\n"},
        {"demo --frames 4 --width 320 --height 240 --loss 0", 0, "losses:    none\n",
            "result:    every block the driver saw arrived complete (4 of 4)\n"},
    };
    for (const auto& c : cases) {
        ToolRun run = RunTool(c.arguments + " --json " + (dir / "report.json").string());
        EXPECT_EQ(run.exitStatus, c.exitStatus) << c.arguments << "\n" << run.out;
        EXPECT_NE(run.out.find(c.losses), std::string::npos) << c.arguments << "\n" << run.out;
        EXPECT_NE(run.out.find(c.result), std::string::npos) << c.arguments << "\n" << run.out;
        EXPECT_EQ(Report("report.json")["exit_status"], c.exitStatus) << c.arguments;
    }
}

struct BadUsage {
    const char* arguments;
    const char* message;
};

TEST_F(ToolDemo, BadUsageGetsOneClearLineAndStatusTwo)
{
    const BadUsage cases[] = {
        {"demo --pixel-format bayer8", "unknown pixel format 'bayer8'"},
        {"demo --width 100000 --height 100000", "out of range"},
        {"demo --packet-size 100", "--packet-size 100 is out of range"},
        {"demo --loss 80", "--loss takes a percentage"},
        {"demo --policy fastest", "unknown hand-over policy 'fastest'"},
        {"demo --resend maybe", "--resend takes on or off"},
        {"demo --format jpeg", "unknown image format 'jpeg'"},
        {"demo --frames", "--frames"},
        {"nonsense", "nonsense"},
        {"events --file /nonexistent/report.json", "cannot read '/nonexistent/report.json'"},
    };
    for (const BadUsage& c : cases) {
        ToolRun run = RunTool(c.arguments);
        EXPECT_EQ(run.exitStatus, 2) << c.arguments << "\n" << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.arguments << "\n" << run.out;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << c.arguments << "\n" << run.out;
    }
}

}  // namespace
