// SPDX-License-Identifier: MIT
#include "scenario/default_scenario.h"

namespace vibra_tool {

std::string_view default_scenario()
{
    return R"(# vibra-sim's built-in scenario: the device starts, the motor runs steadily
# for 50 ms, a blink pattern of three 200 ms pulses follows, then the stored
# state is read back and the device goes away.
at 0ms     start                                        expect=STATUS_SUCCESS
at 10ms    set-state on                                 expect=STATUS_SUCCESS expect-bytes=48
at 60ms    set-state off                                expect=STATUS_SUCCESS
at 100ms   set-state blink period=500 duty=40 cycles=3  expect=STATUS_SUCCESS
at 1400ms  get-state                                    expect=STATUS_SUCCESS expect-bytes=48
at 1400ms  info                                         expect=STATUS_SUCCESS
at 1500ms  stop                                         expect=STATUS_SUCCESS
at 1500ms  teardown                                     expect=STATUS_SUCCESS
at 1500ms  remove
at 1500ms  unload
)";
}

}  // namespace vibra_tool
