// SPDX-License-Identifier: MIT
// The trace routine's level and flag filter against TraceLevelMask.

#include "driver/driver_fixture.h"

namespace vtest::driver {
namespace {

using Masks = std::array<ULONG, TRACE_LEVEL_MASK_COUNT>;

constexpr Masks kAllOpen = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
constexpr Masks kAllClosed = {0, 0, 0, 0, 0};
constexpr Masks kVerboseEntryExit = {0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFE, 0, TRACE_FLAG_ENTRY_EXIT};
constexpr Masks kVerboseMessages = {0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFE, 0, TRACE_FLAG_MESSAGE};

struct FilterCase {
    const char *name;
    Masks masks;
    ULONG level;
    ULONG flags;
    bool printed;
};

class TraceMaskFilter : public SimTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(TraceMaskFilter, PrintsExactlyTheLinesItsMaskAdmits)
{
    const FilterCase &c = GetParam();
    set_trace_masks(c.masks);
    QM38_205_DebugPrint(c.level, c.flags, "line %d\n", 7);
    set_trace_masks(kInitialMasks);

    if (c.printed) {
        ASSERT_EQ(sim.trace().size(), 1u) << c.name << ": the line should be printed";
        EXPECT_EQ(sim.trace()[0].text, "line 7\n") << "arguments pass to the kernel service unchanged";
        EXPECT_EQ(sim.trace()[0].format, "line %d\n");
        EXPECT_EQ(sim.trace()[0].component, 101u);
        EXPECT_EQ(sim.trace()[0].level, 0u) << "importance level is always 0";
    } else {
        EXPECT_TRUE(sim.trace().empty()) << c.name << ": the line should be filtered out";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Edges, TraceMaskFilter,
    ::testing::Values(
        // Level 0 always prints, whatever flags and masks.
        FilterCase{"level 0, flags 0, closed masks", kAllClosed, 0, 0, true},
        FilterCase{"level 0, message, closed masks", kAllClosed, 0, TRACE_FLAG_MESSAGE, true},
        // Above 5 never prints, compared as unsigned.
        FilterCase{"level 6, all flags, open masks", kAllOpen, 6, 0xFFFFFFFF, false},
        FilterCase{"level 0xFFFFFFFF, open masks", kAllOpen, 0xFFFFFFFF, 0xFFFFFFFF, false},
        FilterCase{"level 0x80000000, open masks", kAllOpen, 0x80000000, TRACE_FLAG_MESSAGE, false},
        // Levels 1 to 5 with flags 0 never print.
        FilterCase{"level 1, flags 0, open masks", kAllOpen, 1, 0, false},
        FilterCase{"level 5, flags 0, open masks", kAllOpen, 5, 0, false},
        FilterCase{"level 5, any flag, open masks", kAllOpen, 5, 0x80000000, true},
        FilterCase{"level 2, message, closed masks", kAllClosed, 2, TRACE_FLAG_MESSAGE, false},
        // The initial masks: errors and the warning print; level 4 and 5 do not.
        FilterCase{"initial, error line", kInitialMasks, 2, TRACE_FLAG_MESSAGE, true},
        FilterCase{"initial, warning line", kInitialMasks, 3, TRACE_FLAG_MESSAGE | TRACE_FLAG_ENTRY_EXIT, true},
        FilterCase{"initial, entry line", kInitialMasks, 5, TRACE_FLAG_ENTRY_EXIT, false},
        FilterCase{"initial, information line", kInitialMasks, 5, TRACE_FLAG_MESSAGE, false},
        FilterCase{"initial, level 4", kInitialMasks, 4, 0xFFFFFFFF, false},
        FilterCase{"initial, level 1 bit 0", kInitialMasks, 1, 0x1, true},
        FilterCase{"initial, level 2 bit 0", kInitialMasks, 2, 0x1, false},
        FilterCase{"initial, level 3 bit 0", kInitialMasks, 3, 0x1, false},
        FilterCase{"initial, level 2 bit 0 and bit 1", kInitialMasks, 2, 0x3, true},
        // Opening level 5 for one flag admits that class only.
        FilterCase{"level 5 entry/exit mask, entry line", kVerboseEntryExit, 5, TRACE_FLAG_ENTRY_EXIT, true},
        FilterCase{"level 5 entry/exit mask, information line", kVerboseEntryExit, 5, TRACE_FLAG_MESSAGE, false},
        FilterCase{"level 5 message mask, information line", kVerboseMessages, 5, TRACE_FLAG_MESSAGE, true},
        FilterCase{"level 5 message mask, entry line", kVerboseMessages, 5, TRACE_FLAG_ENTRY_EXIT, false}),
    [](const ::testing::TestParamInfo<FilterCase> &info) { return "case" + std::to_string(info.index); });

}  // namespace
}  // namespace vtest::driver
