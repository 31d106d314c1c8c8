// SPDX-License-Identifier: MIT
// Requests to the GPIO controller: formatting, sending and completion (as a
// separate event at dispatch level, or inside the send on the sender's
// thread).
//
// The controller reads the value byte from the caller's buffer when it
// processes the request, as it does when the request's input and output are
// one buffer; the byte must not change from the format to the completion (a
// framework that copies the input when formatting would write the older
// value), so a change is a verifier finding.
#include "internal.h"
#include "realtime.h"

#include <algorithm>

using vsim::ObjectType;
using vsim::Op;
using vsim::detail::MemoryData;
using vsim::detail::RequestData;
using vsim::detail::TargetData;

namespace {
// The part of a memory object that an offset descriptor selects.
bool memory_range(vsim::detail::State *sim, WDFMEMORY memory, PWDFMEMORY_OFFSET offset, size_t *start,
                  size_t *length)
{
    *start = 0;
    *length = 0;
    if (memory == nullptr) {
        return true;
    }
    auto *data = sim->data<MemoryData>(memory, ObjectType::Memory, "WdfIoTargetFormatRequestForIoctl");
    if (data == nullptr) {
        return false;
    }
    *start = offset ? offset->BufferOffset : 0;
    *length = offset && offset->BufferLength != 0 ? offset->BufferLength : data->size - std::min(*start, data->size);
    if (*start > data->size || *length > data->size - *start) {
        sim->fail("WdfIoTargetFormatRequestForIoctl: the offset descriptor reaches past the memory object");
        return false;
    }
    return true;
}

NTSTATUS line_write(vsim::detail::State *sim, RequestData &request, vsim::GpioWrite &write)
{
    // One byte in, and the same byte back out.
    if (request.ioctl != IOCTL_GPIO_WRITE_PINS || request.input_length != 1 || request.output_length != 1) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    vsim::detail::Object *memory = sim->find(request.input);
    if (memory == nullptr) {
        sim->fail("request completion: the input memory object was deleted before its request completed");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const auto &data = std::get<MemoryData>(memory->data);
    const uint8_t byte = static_cast<const uint8_t *>(data.buffer)[request.input_offset];
    if (request.formatted_byte >= 0 && byte != request.formatted_byte) {
        sim->fail("request completion: the value byte changed from " + std::to_string(request.formatted_byte) +
                  " to " + std::to_string(byte) +
                  " after the request was formatted; its buffer belongs to the request until it completes");
    }
    write.value = byte;
    const int level = byte != 0 ? 1 : 0;
    if (auto line = sim->lines.find(write.connection_id); line != sim->lines.end()) {
        line->second.level = level;
    }
    sim->line_changed({sim->now, write.line, level});
    return STATUS_SUCCESS;
}
}  // namespace

namespace vsim {

void detail::State::complete(WDFREQUEST handle)
{
    enter(Op::RequestCompletion);
    detail::Object *object = find(handle);
    if (object == nullptr || !std::get<RequestData>(object->data).in_flight) {
        return;  // deleted meanwhile: abandoned
    }
    // On a thread of its own, a completion waits for those of the requests
    // sent to the same line before it: the controller keeps their order.
    if (threads.interleaved() && !std::get<RequestData>(object->data).cancelled) {
        const WDFIOTARGET target = std::get<RequestData>(object->data).sent_to;
        const uint64_t order = std::get<RequestData>(object->data).sent_order;
        if (earlier_in_flight(target, order)) {
            threads.park([this, target, order] { return !earlier_in_flight(target, order); },
                         "the completion of an earlier request to the same line");
            object = find(handle);
            if (object == nullptr || !std::get<RequestData>(object->data).in_flight) {
                return;
            }
        }
    }
    RequestData &request = std::get<RequestData>(object->data);
    GpioWrite &write = request.record;
    detail::Object *sent_to = find(request.sent_to);
    auto *target = sent_to ? &std::get<TargetData>(sent_to->data) : nullptr;
    NTSTATUS status;
    if (request.cancelled) {
        status = STATUS_CANCELLED;
    } else if (auto injected = fault(Op::RequestCompletion)) {
        status = *injected;
    } else if (target == nullptr || !target->open) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (!target->writable) {
        status = STATUS_ACCESS_DENIED;
    } else {
        status = line_write(this, request, write);
    }
    write.completed = now;
    write.status = status;
    request.in_flight = false;
    request.completed = true;
    request.status = status;
    write_ended(request);
    if (threads.interleaved()) {
        threads.wake();  // a later completion to the same line may go on
    }

    WDF_REQUEST_COMPLETION_PARAMS params{};
    params.Size = sizeof params;
    params.Type = WdfRequestTypeDeviceControl;
    params.IoStatus.Status = status;
    params.IoStatus.Information = NT_SUCCESS(status) ? request.input_length : 0;
    params.Parameters.Ioctl.IoControlCode = request.ioctl;
    params.Parameters.Ioctl.Input.Buffer = request.input;
    params.Parameters.Ioctl.Input.Offset = request.input_offset;
    params.Parameters.Ioctl.Output.Buffer = request.output;
    params.Parameters.Ioctl.Output.Offset = request.output_offset;
    params.Parameters.Ioctl.Output.Length = request.output_length;
    if (request.routine != nullptr && real) {
        real->complete(request.routine, handle, request.sent_to, &params, request.routine_context);
    } else if (request.routine != nullptr) {
        request.routine(handle, request.sent_to, &params, request.routine_context);
    }
}

void detail::State::abandon(WDFREQUEST handle)
{
    RequestData &request = std::get<RequestData>(find(handle)->data);
    cancel(request.due, request.seq);
    request.in_flight = false;
    request.completed = true;
    request.status = STATUS_CANCELLED;
    request.record.completed = now;
    request.record.status = STATUS_CANCELLED;
    write_ended(request);
    if (threads.interleaved()) {
        threads.wake();
    }
}

void detail::State::cancel_writes_to(WDFDEVICE device)
{
    PlatformCall call(this);
    std::vector<WDFREQUEST> cancelled;
    for (detail::Object &object : objects) {
        auto *request = std::get_if<RequestData>(&object.data);
        if (!object.alive || request == nullptr || !request->in_flight || request->cancelled) {
            continue;
        }
        bool to_device = false;
        for (detail::Object *up = find(request->sent_to); up != nullptr && !to_device; up = find(up->parent)) {
            to_device = up == find(device);
        }
        if (to_device) {
            request->cancelled = true;
            cancelled.push_back(static_cast<WDFREQUEST>(handle_of(object.index, object.generation)));
        }
    }
    for (const WDFREQUEST handle : cancelled) {
        auto &request = std::get<RequestData>(find(handle)->data);
        cancel(request.due, request.seq);
        if (real) {
            // The completion thread runs the routines, as for any completion.
            request.due = real->clock();
            request.seq = schedule(request.due, {vsim::detail::EventKind::RequestCompletes, handle});
        } else {
            run_inline(DISPATCH_LEVEL, [&] { complete(handle); });
        }
    }
    if (real) {
        real->announce_events();
        while (std::any_of(cancelled.begin(), cancelled.end(), [this](WDFREQUEST handle) {
            detail::Object *object = find(handle);
            return object != nullptr && std::get<RequestData>(object->data).in_flight;
        })) {
            call.wait();
        }
    }
}

bool detail::State::earlier_in_flight(WDFIOTARGET target, uint64_t order)
{
    for (const detail::Object &object : objects) {
        const auto *request = std::get_if<RequestData>(&object.data);
        if (object.alive && request != nullptr && request->in_flight && request->sent_to == target &&
            request->sent_order < order) {
            return true;
        }
    }
    return false;
}

bool detail::State::completes_inside_send()
{
    switch (options.completions) {
    case Completions::Later: return false;
    case Completions::InsideSend: return !real;
    case Completions::Seeded: return !real && (completion_choices.next() & 1) != 0;
    }
    return false;
}

void detail::State::write_ended(RequestData &request)
{
    if (options.keep_records) {
        writes[request.write] = request.record;
    }
    if (write_sink) {
        write_sink(request.record);
    }
}

void detail::State::line_changed(LineChange change)
{
    if (change_sink) {
        change_sink(change);
    }
    if (options.keep_records) {
        line_changes.push_back(std::move(change));
    }
}

}  // namespace vsim

EXTERN_C NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                   WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                                   WDFMEMORY OutputBuffer, PWDFMEMORY_OFFSET OutputBufferOffset)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::WdfIoTargetFormatRequestForIoctl);
    if (!sim->require_framework("WdfIoTargetFormatRequestForIoctl")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfIoTargetFormatRequestForIoctl)) {
        return *status;
    }
    const char *function = "WdfIoTargetFormatRequestForIoctl";
    if (sim->lookup(IoTarget, ObjectType::IoTarget, function) == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto *request = sim->data<RequestData>(Request, ObjectType::Request, function);
    if (request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (request->in_flight) {
        sim->fail("WdfIoTargetFormatRequestForIoctl: " + sim->describe(Request) + " is in flight");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (request->completed) {
        sim->fail("WdfIoTargetFormatRequestForIoctl: " + sim->describe(Request) +
                  " has completed and was not reused (WdfRequestReuse)");
        return STATUS_INVALID_DEVICE_STATE;
    }
    size_t in_start, in_length, out_start, out_length;
    if (!memory_range(sim, InputBuffer, InputBufferOffset, &in_start, &in_length) ||
        !memory_range(sim, OutputBuffer, OutputBufferOffset, &out_start, &out_length)) {
        return STATUS_INVALID_PARAMETER;
    }
    request->formatted = true;
    request->formatted_for = IoTarget;
    request->ioctl = IoctlCode;
    request->input = InputBuffer;
    request->input_offset = in_start;
    request->input_length = in_length;
    request->output = OutputBuffer;
    request->output_offset = out_start;
    request->output_length = out_length;
    request->formatted_byte = -1;
    if (InputBuffer != nullptr && in_length == 1) {
        request->formatted_byte =
            static_cast<const uint8_t *>(std::get<MemoryData>(sim->find(InputBuffer)->data).buffer)[in_start];
    }
    request->status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                             WDFCONTEXT CompletionContext)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::WdfRequestSetCompletionRoutine);
    if (!sim->require_framework("WdfRequestSetCompletionRoutine")) {
        return;
    }
    if (auto *request = sim->data<RequestData>(Request, ObjectType::Request, "WdfRequestSetCompletionRoutine")) {
        request->routine = CompletionRoutine;
        request->routine_context = CompletionContext;
    }
}

EXTERN_C BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return FALSE;
    }
    vsim::detail::tsan::release(Request, vsim::detail::Edge::RequestSend);
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::WdfRequestSend);
    if (!sim->require_framework("WdfRequestSend")) {
        return FALSE;
    }
    auto *request = sim->data<RequestData>(Request, ObjectType::Request, "WdfRequestSend");
    if (request == nullptr) {
        return FALSE;
    }
    if (request->in_flight) {
        sim->fail("WdfRequestSend: " + sim->describe(Request) + " is already in flight");
        return FALSE;
    }
    if (request->completed) {
        sim->fail("WdfRequestSend: " + sim->describe(Request) + " has completed and was not reused (WdfRequestReuse)");
        request->status = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    if (auto status = sim->fault(Op::WdfRequestSend)) {
        request->status = *status;
        return FALSE;
    }
    auto *target = sim->data<TargetData>(Target, ObjectType::IoTarget, "WdfRequestSend");
    if (target == nullptr) {
        request->status = STATUS_INVALID_PARAMETER;
        return FALSE;
    }
    if (!request->formatted) {
        request->status = STATUS_INVALID_DEVICE_REQUEST;
        return FALSE;
    }
    if (request->formatted_for != Target) {
        sim->fail("WdfRequestSend: " + sim->describe(Request) + " was formatted for another target");
        request->status = STATUS_INVALID_DEVICE_REQUEST;
        return FALSE;
    }
    if (!target->open) {
        request->status = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    (void)Options;  // no options change anything here: the send is asynchronous
    vsim::GpioWrite write{sim->now, -1, "", target->connection_id, request->ioctl, -1, STATUS_PENDING};
    if (auto line = sim->lines.find(target->connection_id); line != sim->lines.end()) {
        write.line = line->second.name;
    }
    if (vsim::detail::Object *memory = sim->find(request->input); memory && request->input_length == 1) {
        write.value = static_cast<const uint8_t *>(std::get<MemoryData>(memory->data).buffer)[request->input_offset];
    }
    if (sim->options.keep_records) {
        sim->writes.push_back(write);
        request->write = sim->writes.size() - 1;
    }
    request->record = std::move(write);
    request->in_flight = true;
    request->sent_to = Target;
    request->status = STATUS_PENDING;
    request->sent_order = ++sim->sends;
    // The controller finishes a line's requests in the order they came: one
    // finishes inside its send only when none sent before it is pending.
    if (sim->completes_inside_send() && !sim->earlier_in_flight(Target, request->sent_order)) {
        // The controller finished at once: the completion routine runs now,
        // as the sender, and may delete the request before the send returns.
        request->due = sim->now;
        request->seq = 0;  // no event
        sim->complete(Request);
        return TRUE;
    }
    request->due = sim->now + sim->options.gpio_latency;
    request->seq = sim->schedule(request->due, {vsim::detail::EventKind::RequestCompletes, Request});
    return TRUE;
}

EXTERN_C NTSTATUS WdfRequestGetStatus(WDFREQUEST Request)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::WdfRequestGetStatus);
    if (!sim->require_framework("WdfRequestGetStatus")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfRequestGetStatus)) {
        return *status;
    }
    auto *request = sim->data<RequestData>(Request, ObjectType::Request, "WdfRequestGetStatus");
    return request ? request->status : STATUS_INVALID_PARAMETER;
}
