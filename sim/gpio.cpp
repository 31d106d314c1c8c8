// SPDX-License-Identifier: MIT
// The GPIO controller behind the Resource Hub: lines known by connection id,
// remote I/O targets opened on them by Resource Hub path, exclusive opens.
#include "internal.h"
#include "platform_lock.h"

using vsim::ObjectType;
using vsim::Op;
using vsim::detail::TargetData;

namespace {
constexpr char kHubPrefix[] = "\\Device\\RESOURCE_HUB\\";
constexpr size_t kHubPrefixChars = sizeof kHubPrefix - 1;
constexpr size_t kIdDigits = 16;
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | 0x40000000 /* GENERIC_WRITE */ | 0x10000000 /* GENERIC_ALL */;

// The name as text, for reports; characters outside ASCII become '?'.
std::string narrow(const UNICODE_STRING &name)
{
    std::string text;
    if (name.Buffer == nullptr) {
        return text;
    }
    for (size_t i = 0; i < name.Length / sizeof(WCHAR); ++i) {
        const WCHAR c = name.Buffer[i];
        text.push_back(c < 0x80 ? char(c) : '?');
    }
    return text;
}

// The connection id of a Resource Hub path: STATUS_OBJECT_NAME_INVALID for a
// malformed name, STATUS_OBJECT_NAME_NOT_FOUND for a well-formed name that
// the Resource Hub does not serve.
NTSTATUS parse_hub_path(const UNICODE_STRING &name, uint64_t *id)
{
    if ((name.Buffer == nullptr && name.Length != 0) || name.Length % sizeof(WCHAR) != 0 ||
        name.Length > name.MaximumLength) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    const size_t count = name.Length / sizeof(WCHAR);
    if (count == 0 || name.Buffer[0] != L'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    for (size_t i = 0; i < count; ++i) {
        if (name.Buffer[i] == 0) {
            return STATUS_OBJECT_NAME_INVALID;
        }
    }
    if (count < kHubPrefixChars) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    for (size_t i = 0; i < kHubPrefixChars; ++i) {
        if (name.Buffer[i] != WCHAR(kHubPrefix[i])) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    if (count != kHubPrefixChars + kIdDigits) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    uint64_t value = 0;
    for (size_t i = kHubPrefixChars; i < count; ++i) {
        const WCHAR c = name.Buffer[i];
        if (c >= L'0' && c <= L'9') {
            value = value << 4 | uint64_t(c - L'0');
        } else if (c >= L'a' && c <= L'f') {
            value = value << 4 | uint64_t(c - L'a' + 10);
        } else {
            return STATUS_OBJECT_NAME_INVALID;
        }
    }
    *id = value;
    return STATUS_SUCCESS;
}

bool shared_ok(vsim::detail::State *sim, uint64_t id, ULONG share_access)
{
    for (vsim::detail::Object &object : sim->objects) {
        auto *other = object.alive ? std::get_if<TargetData>(&object.data) : nullptr;
        if (other && other->open && other->connection_id == id &&
            (share_access == 0 || other->info.share_access == 0)) {
            return false;
        }
    }
    return true;
}

NTSTATUS check_open_params(vsim::detail::State *sim, const TargetData &target, PWDF_IO_TARGET_OPEN_PARAMS params)
{
    if (params == nullptr) {
        sim->fail("WdfIoTargetOpen: NULL open parameters");
        return STATUS_INVALID_PARAMETER;
    }
    if (params->Size != sizeof(WDF_IO_TARGET_OPEN_PARAMS)) {
        sim->fail("WdfIoTargetOpen: WDF_IO_TARGET_OPEN_PARAMS.Size is " + std::to_string(params->Size) +
                  ", expected " + std::to_string(sizeof(WDF_IO_TARGET_OPEN_PARAMS)));
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (target.open) {
        sim->fail("WdfIoTargetOpen: the target is already open");
        return STATUS_INVALID_DEVICE_STATE;
    }
    return STATUS_SUCCESS;
}
}  // namespace

namespace vsim {

void detail::State::close_target(TargetData &target)
{
    target.open = false;
    target.info.open = false;
}

void Simulator::add_line(uint64_t connection_id, std::string name, int initial_level)
{
    impl_->lines[connection_id] = {std::move(name), initial_level};
}

int Simulator::level(std::string_view line) const
{
    detail::PlatformCall call(impl_.get());
    for (const auto &[id, known] : impl_->lines) {
        if (known.name == line) {
            return known.level;
        }
    }
    return -1;
}

const std::vector<GpioWrite> &Simulator::writes() const { return impl_->writes; }
const std::vector<LineChange> &Simulator::line_changes() const { return impl_->line_changes; }
void Simulator::set_write_sink(std::function<void(const GpioWrite &)> sink) { impl_->write_sink = std::move(sink); }
void Simulator::set_line_change_sink(std::function<void(const LineChange &)> sink)
{
    impl_->change_sink = std::move(sink);
}
void Simulator::set_gpio_latency(Ticks latency) { impl_->options.gpio_latency = latency; }

std::optional<IoTargetInfo> Simulator::io_target_info(WDFIOTARGET target) const
{
    detail::Object *object = impl_->find(target);
    if (object == nullptr || object->type != ObjectType::IoTarget) {
        return std::nullopt;
    }
    return std::get<TargetData>(object->data).info;
}

}  // namespace vsim

EXTERN_C NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes,
                                    WDFIOTARGET *IoTarget)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    if (IoTarget != nullptr) {
        *IoTarget = nullptr;
    }
    sim->enter(Op::WdfIoTargetCreate);
    if (!sim->require_framework("WdfIoTargetCreate")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfIoTargetCreate)) {
        return *status;
    }
    if (IoTarget == nullptr) {
        sim->fail("WdfIoTargetCreate: NULL output handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (sim->lookup(Device, ObjectType::Device, "WdfIoTargetCreate") == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (!sim->attributes_ok(IoTargetAttributes, "WdfIoTargetCreate", &status)) {
        return status;
    }
    const WDFOBJECT parent =
        IoTargetAttributes && IoTargetAttributes->ParentObject ? IoTargetAttributes->ParentObject : WDFOBJECT(Device);
    *IoTarget = static_cast<WDFIOTARGET>(sim->create(ObjectType::IoTarget, parent, IoTargetAttributes, TargetData{}));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::WdfIoTargetOpen);
    if (!sim->require_framework("WdfIoTargetOpen")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfIoTargetOpen)) {
        return *status;
    }
    auto *target = sim->data<TargetData>(IoTarget, ObjectType::IoTarget, "WdfIoTargetOpen");
    if (target == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = check_open_params(sim, *target, OpenParams); !NT_SUCCESS(status)) {
        return status;
    }
    target->attempted = true;
    target->info = {false,
                    narrow(OpenParams->TargetDeviceName),
                    OpenParams->Type,
                    OpenParams->DesiredAccess,
                    OpenParams->ShareAccess,
                    OpenParams->FileAttributes,
                    OpenParams->CreateDisposition,
                    OpenParams->CreateOptions};
    if (OpenParams->Type != WdfIoTargetOpenByName) {
        return STATUS_NOT_IMPLEMENTED;  // the Resource Hub is reached by name only
    }
    uint64_t id = 0;
    if (NTSTATUS status = parse_hub_path(OpenParams->TargetDeviceName, &id); !NT_SUCCESS(status)) {
        return status;
    }
    if (sim->lines.count(id) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (!shared_ok(sim, id, OpenParams->ShareAccess)) {
        return STATUS_SHARING_VIOLATION;
    }
    target->open = true;
    target->info.open = true;
    target->connection_id = id;
    target->writable = (OpenParams->DesiredAccess & kWriteAccess) != 0;
    return STATUS_SUCCESS;
}
