// SPDX-License-Identifier: MIT
// Faults the real platform can produce, and nothing else: scenarios refuse
// the others, the explorer never arms them, and systematic injection fails
// each injectable call of a scenario in turn and judges every run. The
// explorer's shards split a seed's runs without overlap.
#include <gtest/gtest.h>

#include <array>
#include <map>
#include <regex>
#include <sstream>

#include "explore/explore.h"
#include "explore/systematic.h"

namespace vibra_tool {
namespace {

TEST(PossibleFaults, TheExplorerArmsOnlyFaultsThePlatformCanProduce)
{
    int faults = 0;
    for (uint64_t seed = 0; seed < 300; ++seed) {
        for (const Command &command : generate_scenario(seed, 40, 0.3).commands) {
            if (command.kind == CommandKind::Fault) {
                ++faults;
                EXPECT_TRUE(vsim::can_fail_with(command.op, command.status))
                    << vsim::op_name(command.op) << " " << command.status;
            }
        }
    }
    EXPECT_GT(faults, 1000);
}

const SystematicInput kOnOff{"on-off", "at 0ms start\nat 10ms set-state on\nat 30ms set-state off\n", ""};

// The calls are listed in the order they are made, each op's counted from 1,
// only those the real platform can fail; then each run holds.
TEST(Systematic, ListsTheInjectableCallsInOrderAndEveryRunHolds)
{
    std::string error;
    const std::optional<std::vector<Injection>> calls = injectable_calls(kOnOff, &error);
    ASSERT_TRUE(calls) << error;
    ASSERT_GT(calls->size(), 40u);
    EXPECT_EQ(calls->front().op, vsim::Op::WdfDriverCreate);
    std::map<vsim::Op, uint64_t> counted;
    for (const Injection &call : *calls) {
        EXPECT_EQ(call.nth, ++counted[call.op]) << vsim::op_name(call.op);
        EXPECT_TRUE(vsim::can_fail_with(call.op, call.status)) << vsim::op_name(call.op);
    }
    for (const vsim::Op op : {vsim::Op::WdfWaitLockAcquire, vsim::Op::WdfRequestSend, vsim::Op::RequestCompletion,
                              vsim::Op::WdfIoTargetOpen}) {
        EXPECT_GT(counted[op], 0u) << vsim::op_name(op);
    }
    std::ostringstream out;
    EXPECT_EQ(systematic({kOnOff}, std::nullopt, out), 0) << out.str();
    EXPECT_NE(out.str().find("all " + std::to_string(calls->size()) + " systematic runs held"), std::string::npos)
        << out.str();

    // One run replayed names the call it fails; a run past the last is refused.
    std::ostringstream one;
    EXPECT_EQ(systematic({kOnOff}, 1, one), 0) << one.str();
    EXPECT_NE(one.str().find("run 1: fault WdfDriverCreate status="), std::string::npos) << one.str();
    EXPECT_NE(one.str().find("all 1 systematic run held"), std::string::npos) << one.str();
    const uint32_t past = static_cast<uint32_t>(calls->size()) + 1;
    std::ostringstream beyond;
    EXPECT_EQ(systematic({kOnOff}, past, beyond), 2) << beyond.str();
    EXPECT_NE(beyond.str().find("--inject-at " + std::to_string(past) + ": on-off has " +
                                std::to_string(calls->size()) + " injectable calls; expected 0 to"),
              std::string::npos)
        << beyond.str();
}

// A failure nobody hears of is a finding: with the error and warning lines
// masked, a write that fails inside a drive step is reported nowhere. The
// report gives the fault line and the run that replays it.
TEST(Systematic, AnUnreportedFailureIsAFindingWithItsReplay)
{
    const SystematicInput silent{"silent",
                                 "at 0ms trace-mask level=2 mask=0\nat 0ms trace-mask level=3 mask=0\n" + kOnOff.text,
                                 "--scenario silent.vsim"};
    std::string error;
    const std::optional<std::vector<Injection>> calls = injectable_calls(silent, &error);
    ASSERT_TRUE(calls) << error;
    size_t completion = 0;
    while (completion < calls->size() && (*calls)[completion].op != vsim::Op::RequestCompletion) {
        ++completion;
    }
    ASSERT_LT(completion, calls->size());
    const SystematicResult result = check_injection(silent, (*calls)[completion]);
    EXPECT_TRUE(result.fired);
    EXPECT_FALSE(result.reported);
    std::ostringstream out;
    EXPECT_EQ(systematic({silent}, uint32_t(completion + 1), out), kExitWrongResult);
    EXPECT_NE(out.str().find("RequestCompletion failed at"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("replay: vibra-sim --systematic --inject-at " + std::to_string(completion + 1) +
                             " --scenario silent.vsim"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("at 0ms fault RequestCompletion status=STATUS_UNSUCCESSFUL nth=1"), std::string::npos)
        << out.str();
}

// A shard K/N plays the runs i with i mod N = K - 1: the shards' totals add up
// to the unsharded run's, so together they play each run once.
TEST(ExploreShards, TogetherPlayEachRunOnce)
{
    const auto totals = [](uint32_t shard, uint32_t shards) {
        ExploreOptions options;
        options.seed = 11;
        options.runs = 14;
        options.steps = 12;
        options.fault_rate = 0.3;
        options.shard = shard;
        options.shards = shards;
        std::ostringstream out, progress;
        EXPECT_EQ(explore(options, out, progress), 0) << out.str();
        std::smatch match;
        const std::string text = out.str();
        EXPECT_TRUE(std::regex_search(text, match,
                                      std::regex(R"(all (\d+) runs.* held: (\d+) commands, (\d+) faults armed, (\d+) )"
                                                 R"(calls returned a failure status; (\d+) scheduling points)")))
            << text;
        std::array<uint64_t, 5> numbers{};
        for (size_t i = 0; i < numbers.size() && i + 1 < match.size(); ++i) {
            numbers[i] = std::stoull(match[i + 1]);
        }
        return numbers;
    };
    const auto whole = totals(0, 1);
    std::array<uint64_t, 5> sum{};
    for (uint32_t shard = 0; shard < 3; ++shard) {
        const auto part = totals(shard, 3);
        for (size_t i = 0; i < sum.size(); ++i) {
            sum[i] += part[i];
        }
    }
    EXPECT_EQ(whole[0], 14u);
    EXPECT_EQ(sum, whole);
}

}  // namespace
}  // namespace vibra_tool
