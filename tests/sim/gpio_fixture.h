// SPDX-License-Identifier: MIT
// A mini driver's device with one GPIO line, and a client's way of writing it:
// the fixture of the request tests.
#pragma once

#include "mini.h"

#include <cstdio>
#include <memory>

namespace gpio_fixture {

using mini::SimFixture;
using vsim::ms;
using vsim::Ticks;

inline constexpr uint64_t kLineId = 0x00000001000000abULL;

// A wide name of exactly its characters, no terminator, so that a read past
// its Length fails under the address sanitizer.
struct WideName {
    explicit WideName(std::string_view text)
        : chars(new WCHAR[text.size() + 1])
    {
        for (size_t i = 0; i < text.size(); ++i) {
            chars[i] = WCHAR(static_cast<unsigned char>(text[i]));
        }
        name.Buffer = chars.get();
        name.Length = USHORT(text.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
    }
    std::unique_ptr<WCHAR[]> chars;
    UNICODE_STRING name;
};

inline std::string hub_path(uint64_t id)
{
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(id));
    return std::string("\\Device\\RESOURCE_HUB\\") + digits;
}

struct CompletionLog {
    std::vector<Ticks> times;
    std::vector<NTSTATUS> statuses;
    std::vector<KIRQL> levels;
    bool delete_request = true;
};

inline void LoggingCompletion(WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params,
                              WDFCONTEXT Context)
{
    auto *log = static_cast<CompletionLog *>(Context);
    log->times.push_back(vsim::Simulator::current()->now());
    log->statuses.push_back(Params->IoStatus.Status);
    log->levels.push_back(KeGetCurrentIrql());
    EXPECT_EQ(WdfRequestGetStatus(Request), Params->IoStatus.Status);
    if (log->delete_request) {
        WdfObjectDelete(Request);
    }
}

inline void PagedCompletion(WDFREQUEST Request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT)
{
    PAGED_CODE();
    WdfObjectDelete(Request);
}

// Opens `target` on `device` by name, as a client opens a line.
inline NTSTATUS open_target(WDFDEVICE device, WDFIOTARGET *target, const WideName &name,
                            ACCESS_MASK access = FILE_GENERIC_WRITE)
{
    EXPECT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, target), STATUS_SUCCESS);
    WDF_IO_TARGET_OPEN_PARAMS params{};
    params.Size = sizeof params;
    params.Type = WdfIoTargetOpenByName;
    params.TargetDeviceName = name.name;
    params.DesiredAccess = access;
    params.CreateDisposition = FILE_OPEN;
    params.CreateOptions = FILE_NON_DIRECTORY_FILE;
    return WdfIoTargetOpen(*target, &params);
}

// A request writing `*byte` to `target`, its memory parented to it, as a
// client builds one; formatted unless `format` is false.
inline WDFREQUEST make_write(WDFIOTARGET target, UCHAR *byte, ULONG ioctl = IOCTL_GPIO_WRITE_PINS, bool format = true,
                             bool with_output = true)
{
    WDFREQUEST request = nullptr;
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = request;
    WDFMEMORY memory = nullptr;
    EXPECT_EQ(WdfMemoryCreatePreallocated(&attributes, byte, 1, &memory), STATUS_SUCCESS);
    if (format) {
        EXPECT_EQ(WdfIoTargetFormatRequestForIoctl(target, request, ioctl, memory, nullptr,
                                                   with_output ? memory : nullptr, nullptr),
                  STATUS_SUCCESS);
    }
    return request;
}

class GpioTest : public SimFixture {
protected:
    explicit GpioTest(vsim::Options options = {})
        : SimFixture(options)
    {
    }

    void SetUp() override
    {
        SimFixture::SetUp();
        sim.add_line(kLineId, "motor");
    }

    NTSTATUS open(WDFIOTARGET *target, std::string_view path, ACCESS_MASK access = FILE_GENERIC_WRITE)
    {
        return open(target, WideName(path), access);
    }

    NTSTATUS open(WDFIOTARGET *target, const WideName &name, ACCESS_MASK access = FILE_GENERIC_WRITE)
    {
        return open_target(device, target, name, access);
    }

    WDFIOTARGET open_line()
    {
        WDFIOTARGET target = nullptr;
        EXPECT_EQ(open(&target, hub_path(kLineId)), STATUS_SUCCESS);
        return target;
    }

    // Builds a write of `*byte` the way a client does; returns whether the send went out.
    BOOLEAN write(WDFIOTARGET target, UCHAR *byte, CompletionLog *log,
                  PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = LoggingCompletion, ULONG ioctl = IOCTL_GPIO_WRITE_PINS,
                  bool format = true, bool with_output = true)
    {
        WDFREQUEST request = make_write(target, byte, ioctl, format, with_output);
        WdfRequestSetCompletionRoutine(request, routine, log);
        const BOOLEAN sent = WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS);
        last_request = request;
        if (!sent) {
            refused_status = WdfRequestGetStatus(request);
            WdfObjectDelete(request);
        }
        return sent;
    }

    WDFREQUEST last_request = nullptr;
    NTSTATUS refused_status = STATUS_SUCCESS;
};

}  // namespace gpio_fixture
