// SPDX-License-Identifier: MIT
#include "scenario/fault_check.h"

#include "scenario/status.h"

namespace vibra_tool {

std::string impossible_fault(vsim::Op op, int32_t status)
{
    const std::span<const NTSTATUS> possible = vsim::possible_failures(op);
    if (vsim::can_fail_with(op, status)) {
        return {};
    }
    const std::string name = vsim::op_name(op);
    if (possible.empty()) {
        return name + " cannot fail on the real platform (it returns a value or nothing), so no fault can be "
                      "armed for it; expected an operation such as WdfRequestCreate, WdfRequestSend, "
                      "WdfWaitLockAcquire or RequestCompletion";
    }
    std::string list;
    for (size_t i = 0; i < possible.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == possible.size() ? " or " : ", ") + std::string(status_name(possible[i]));
    }
    return name + " cannot fail with " + describe_status(status) + " on the real platform; expected status=" +
           list;
}

int32_t default_fault_status(vsim::Op op)
{
    const std::span<const NTSTATUS> possible = vsim::possible_failures(op);
    return possible.empty() ? static_cast<int32_t>(0xC0000001) : possible.front();
}

}  // namespace vibra_tool
