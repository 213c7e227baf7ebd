#include "app/brixmoor.h"

#include <gtest/gtest.h>

namespace bm {
namespace {

struct RunCase {
    const char* name;
    std::vector<std::string> args;
    TRunKind expected;
};

class SelectRunTest : public testing::TestWithParam<RunCase> {};

TEST_P(SelectRunTest, FirstArgumentChoosesTheRun)
{
    EXPECT_EQ(SelectRun(GetParam().args), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, SelectRunTest,
    testing::Values(
        RunCase {"none", {}, TRunKind::Normal},
        RunCase {"install", {"/INSTALL"}, TRunKind::Install},
        RunCase {"install_with_mode", {"/INSTALL", "EXPRESS"}, TRunKind::Install},
        RunCase {"uninstall", {"/UNINSTALL"}, TRunKind::Uninstall},
        RunCase {"install_lower_case_ends", {"/install"}, TRunKind::End},
        RunCase {"uninstall_mixed_case_ends", {"/Uninstall"}, TRunKind::End},
        RunCase {"install_prefix_ends", {"/INSTALLX"}, TRunKind::End},
        RunCase {"install_with_blank_ends", {"/INSTALL "}, TRunKind::End},
        RunCase {"empty_argument_ends", {""}, TRunKind::End},
        RunCase {"only_first_counts", {"other", "/INSTALL"}, TRunKind::End},
        RunCase {"headless", {"--headless"}, TRunKind::Headless},
        RunCase {"help", {"--help"}, TRunKind::Help},
        RunCase {"version", {"--version"}, TRunKind::Version},
        RunCase {"dash_v_ends", {"-v"}, TRunKind::End},
        RunCase {"headless_second_ignored", {"--headless", "--help"}, TRunKind::Headless}),
    [](const testing::TestParamInfo<RunCase>& info) { return info.param.name; });

TEST(LifeSteps, ModuleStartUpAndShutdownOrder)
{
    std::vector<std::string> init, shutdown;
    for (const auto& s : ModuleInitSteps())
        init.push_back(s.Name);
    for (const auto& s : ModuleShutdownSteps())
        shutdown.push_back(s.Name);
    EXPECT_EQ(init, (std::vector<std::string>{"filters", "known messages", "reply templates", "options",
                                              "accounts", "trace log", "error list",
                                              "friends list and blacklist"}));
    EXPECT_EQ(shutdown,
              (std::vector<std::string>{"known messages", "friends list and blacklist", "filters", "trace log"}));
}

TEST(LifeSteps, GuardedStepsGoOnAfterAFailure)
{
    std::vector<std::string> ran;
    std::vector<TLifeStep> steps = {
        {"one", [&] { ran.push_back("one"); }},
        {"fails", [&] { throw std::runtime_error("disk full"); }},
        {"placeholder", {}},
        {"three", [&] { ran.push_back("three"); }},
    };
    RunLifeSteps(steps, true);
    EXPECT_EQ(ran, (std::vector<std::string>{"one", "three"}));
    ran.clear();
    EXPECT_THROW(RunLifeSteps(steps, false), std::runtime_error);
    EXPECT_EQ(ran, std::vector<std::string>{"one"});
}

TEST(BrixmoorMain, EndRunsDoNothingAndExitZero)
{
    for (std::string arg : {"/install", "--version", "--help", "anything"}) {
        std::string prog = "brixmoor";
        char* argv[] = {prog.data(), arg.data(), nullptr};
        EXPECT_EQ(BrixmoorMain(2, argv), 0) << arg;
    }
}

} // namespace
} // namespace bm
