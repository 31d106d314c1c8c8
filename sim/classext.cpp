// SPDX-License-Identifier: MIT
// The HwN class extension and the framework's device side: client
// registration, the three-step device add, resource lists, and the client
// callbacks that the class extension makes with each device's client context.
#include "internal.h"
#include "realtime.h"

#include <cstring>

using vsim::DeviceId;
using vsim::ObjectType;
using vsim::Op;
using vsim::detail::DeviceRecord;

namespace {
// The class extension's own context on each device it manages.
struct HWN_CLX_DEVICE_CONTEXT {
    ULONG Flags;
    PVOID ClientContext;
};
const WDF_OBJECT_CONTEXT_TYPE_INFO kClxContextType = {sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), "HWN_CLX_DEVICE_CONTEXT",
                                                      sizeof(HWN_CLX_DEVICE_CONTEXT), &kClxContextType, nullptr};

// The garbage a fresh client context holds: the client must clear it.
constexpr uint8_t kFreshContextFill = 0xA5;

NTSTATUS check_packet(const HWN_CLIENT_REGISTRATION_PACKET *packet)
{
    if (packet == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (packet->Version != HWN_CLIENT_VERSION) {
        return STATUS_REVISION_MISMATCH;
    }
    if (packet->Size != sizeof(HWN_CLIENT_REGISTRATION_PACKET) || packet->ClientContextSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!packet->InitializeDevice || !packet->UnInitializeDevice || !packet->QueryDeviceInformation ||
        !packet->StartDevice || !packet->StopDevice || !packet->SetState || !packet->GetState) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

bool is_driver(vsim::detail::State *sim, WDFDRIVER driver, const char *function)
{
    return sim->lookup(driver, ObjectType::Driver, function) != nullptr;
}
}  // namespace

namespace vsim {

detail::DeviceRecord *detail::State::device_record(DeviceId id, const char *function)
{
    auto it = devices.find(id);
    if (it == devices.end()) {
        fail(std::string(function) + ": unknown device id " + std::to_string(id));
        return nullptr;
    }
    return &it->second;
}

void detail::State::forget_device(WDFDEVICE device)
{
    std::erase_if(devices, [&](const auto &entry) { return entry.second.device == device; });
}

// The class extension makes no call for a device whose teardown has returned,
// but a new initialisation, which gets its context back.
bool detail::State::refused_after_teardown(DeviceId id, const char *function)
{
    auto found = devices.find(id);
    if (found == devices.end() || !found->second.torn_down) {
        return false;
    }
    if (std::strcmp(function, "initialize_device") != 0) {
        return true;
    }
    DeviceRecord &record = found->second;
    VSIM_UNPOISON(record.context.get(), record.context_size);
    std::memcpy(record.context.get(), record.kept.get(), record.context_size);
    record.kept.reset();
    record.torn_down = false;
    --torn_down_devices;
    return false;
}

void detail::State::end_teardown(DeviceId id)
{
    detail::PlatformCall call(this);
    auto found = devices.find(id);
    if (found == devices.end() || found->second.torn_down) {
        return;
    }
    DeviceRecord &record = found->second;
    for (uint32_t index = 0; index < objects.size(); ++index) {
        detail::Object &object = objects[index];
        const auto *timer = std::get_if<detail::TimerData>(&object.data);
        const WDFOBJECT handle = handle_of(index, object.generation);
        if (object.alive && timer != nullptr && timer->pending && device_of(handle) == record.device) {
            fail(describe(handle) + " is still armed when the teardown of device " + std::to_string(id) +
                 " returned");
        }
    }
    record.kept = std::make_unique<uint8_t[]>(record.context_size);
    std::memcpy(record.kept.get(), record.context.get(), record.context_size);
    std::memset(record.context.get(), kReleasedFill, record.context_size);
    VSIM_POISON(record.context.get(), record.context_size);
    record.torn_down = true;
    ++torn_down_devices;
}

// Before the device goes: the context the driver had after its teardown must
// be as it was left.
void detail::State::release_context(DeviceId id)
{
    auto found = devices.find(id);
    if (found == devices.end() || !found->second.torn_down) {
        return;
    }
    DeviceRecord &record = found->second;
    VSIM_UNPOISON(record.context.get(), record.context_size);
    for (size_t i = 0; i < record.context_size; ++i) {
        if (record.context[i] != kReleasedFill) {
            fail("the client context of device " + std::to_string(id) + " was written after its teardown returned");
            break;
        }
    }
    std::memcpy(record.context.get(), record.kept.get(), record.context_size);
    record.torn_down = false;
    --torn_down_devices;
}

WDFDEVICE detail::State::device_of(WDFOBJECT handle)
{
    for (detail::Object *object = find(handle); object != nullptr; object = find(object->parent)) {
        if (object->type == ObjectType::Device) {
            return static_cast<WDFDEVICE>(handle_of(object->index, object->generation));
        }
    }
    return nullptr;
}

void detail::State::check_after_teardown(WDFOBJECT handle, const detail::Object *object, const char *function)
{
    if (object->type == ObjectType::Request || object->type == ObjectType::Memory ||
        std::strncmp(function, "Wdf", 3) != 0 ||
        (object->type == ObjectType::Timer && std::strcmp(function, "WdfObjectGetTypedContext") == 0)) {
        return;
    }
    const WDFDEVICE device = device_of(handle);
    for (const auto &[id, record] : devices) {
        if (record.torn_down && record.device == device && device != nullptr) {
            fail(std::string(function) + ": " + describe(handle) + " of device " + std::to_string(id) +
                 " used after its teardown returned");
            return;
        }
    }
}

bool detail::State::fired_after_teardown(WDFTIMER timer)
{
    if (torn_down_devices == 0) {
        return false;
    }
    const WDFDEVICE device = device_of(timer);
    for (const auto &[id, record] : devices) {
        if (record.torn_down && record.device == device && device != nullptr) {
            fail(describe(timer) + " of device " + std::to_string(id) + " fired after its teardown returned");
            return true;
        }
    }
    return false;
}

NTSTATUS detail::State::call_client(DeviceId id, const char *function, const std::function<NTSTATUS(void *)> &call)
{
    if (refused_after_teardown(id, function)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (real) {
        return real->call_client(id, function, call);
    }
    DeviceRecord *record = device_record(id, function);
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (packet == nullptr || !record->known) {
        fail(std::string(function) + ": device " + std::to_string(id) + " has no registered client");
        return STATUS_INVALID_DEVICE_STATE;
    }
    // Calls overlap unless told otherwise; then a call from another thread
    // waits until the one in progress has returned.
    const int me = identity();
    while (options.serialise_client_calls && record->busy != 0 && record->busy != me) {
        const detail::WaitResult result = threads.park(
            [this, id] {
                auto found = devices.find(id);
                return found == devices.end() || found->second.busy == 0;
            },
            "the class extension's call in progress for device " + std::to_string(id));
        if (result != detail::WaitResult::Woken) {
            fail(std::string(function) + ": deadlock: device " + std::to_string(id) +
                 " is in a call on a thread that cannot run until this one returns");
            break;
        }
        record = device_record(id, function);
        if (record == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    const int outer = record->busy;
    record->busy = me;
    const bool transition = options.power_transitions && is_power_transition(function);
    if (transition) {
        in_transition.push_back(me);
    }
    const NTSTATUS status = call(record->context.get());
    if (transition) {
        in_transition.erase(std::find(in_transition.begin(), in_transition.end(), me));
    }
    if (auto found = devices.find(id); found != devices.end()) {
        found->second.busy = outer;
    }
    threads.wake();
    return status;
}

bool detail::State::is_power_transition(std::string_view function)
{
    return function == "start_device" || function == "stop_device" || function == "uninitialize_device";
}

// While a power transition is in progress the power manager holds what the
// call needs: it waits until none is. A transition's own thread, or one that
// a transition waits for, waits for ever; the verifier reports it.
void detail::State::wait_for_power_transitions()
{
    const int me = identity();
    while (!in_transition.empty()) {
        if (std::find(in_transition.begin(), in_transition.end(), me) != in_transition.end()) {
            fail("ExSetTimerResolution: deadlock: called inside a power transition (a start, stop or teardown of "
                 "the device), which holds what the call waits for");
            return;
        }
        const detail::WaitResult result = threads.park([this] { return in_transition.empty(); },
                                                       "ExSetTimerResolution, until the power "
                                                       "transition in progress ends");
        if (result != detail::WaitResult::Woken) {
            fail("ExSetTimerResolution: deadlock: thread " + std::to_string(me) +
                 " waits for a power transition that waits for it");
            return;
        }
    }
}

NTSTATUS Simulator::add_device(DeviceId *id)
{
    Impl &sim = *impl_;
    detail::Object *driver = sim.find(sim.driver);
    if (!sim.loaded || driver == nullptr) {
        sim.fail("add_device: no driver is loaded");
        return STATUS_INVALID_DEVICE_STATE;
    }
    const PFN_WDF_DRIVER_DEVICE_ADD add = std::get<detail::DriverData>(driver->data).config.EvtDriverDeviceAdd;
    if (add == nullptr) {
        sim.fail("add_device: the driver has no device-add callback");
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto init = std::make_unique<WDFDEVICE_INIT>();
    *init = {detail::kDeviceInitMagic, false, sim.driver, {}};
    sim.added = 0;
    const NTSTATUS status = add(sim.driver, init.get());
    const DeviceId created = sim.added;
    sim.added = 0;
    if (!NT_SUCCESS(status)) {
        // The framework discards the device of a failed add.
        if (created != 0 && sim.devices.count(created)) {
            sim.destroy(sim.devices[created].device);
            sim.threads.wake();
        }
        return status;
    }
    if (created == 0) {
        sim.fail("add_device: the device-add callback succeeded without creating a device");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!sim.devices[created].known) {
        sim.fail("add_device: the class extension never completed its set-up of the new device");
    }
    if (id != nullptr) {
        *id = created;
    }
    return status;
}

WDFDEVICE Simulator::device(DeviceId id) const
{
    auto it = impl_->devices.find(id);
    return it == impl_->devices.end() ? nullptr : it->second.device;
}

void *Simulator::client_context(DeviceId id) const
{
    auto it = impl_->devices.find(id);
    if (it == impl_->devices.end()) {
        return nullptr;
    }
    return it->second.torn_down ? it->second.kept.get() : it->second.context.get();
}

bool Simulator::torn_down(DeviceId id) const
{
    auto it = impl_->devices.find(id);
    return it != impl_->devices.end() && it->second.torn_down;
}

const GUID *Simulator::device_class_guid(DeviceId id) const
{
    auto it = impl_->devices.find(id);
    return it == impl_->devices.end() || !it->second.known ? nullptr : &it->second.guid;
}

const WDF_OBJECT_ATTRIBUTES *Simulator::pre_create_attributes(DeviceId id) const
{
    auto it = impl_->devices.find(id);
    return it == impl_->devices.end() ? nullptr : &it->second.pre_create_attributes;
}

const WDF_OBJECT_ATTRIBUTES *Simulator::device_create_attributes(DeviceId id) const
{
    auto it = impl_->devices.find(id);
    return it == impl_->devices.end() ? nullptr : &it->second.create_attributes;
}

NTSTATUS Simulator::initialize_device(DeviceId id, const ResourceList &raw, const ResourceList &translated)
{
    Impl &sim = *impl_;
    return sim.call_client(id, "initialize_device", [&](void *context) {
        const WDFDEVICE device = sim.devices[id].device;
        auto raw_list = static_cast<WDFCMRESLIST>(
            sim.create(ObjectType::ResourceList, device, nullptr, detail::ResourceListData{raw}));
        auto translated_list = static_cast<WDFCMRESLIST>(
            sim.create(ObjectType::ResourceList, device, nullptr, detail::ResourceListData{translated}));
        const NTSTATUS status = sim.packet->InitializeDevice(device, context, raw_list, translated_list);
        // The lists, and every descriptor pointer into them, live only during the call.
        sim.destroy(raw_list);
        sim.destroy(translated_list);
        return status;
    });
}

NTSTATUS Simulator::start_device(DeviceId id)
{
    return impl_->call_client(id, "start_device", [&](void *context) { return impl_->packet->StartDevice(context); });
}

NTSTATUS Simulator::stop_device(DeviceId id)
{
    return impl_->call_client(id, "stop_device", [&](void *context) { return impl_->packet->StopDevice(context); });
}

NTSTATUS Simulator::uninitialize_device(DeviceId id)
{
    const NTSTATUS status = impl_->call_client(id, "uninitialize_device", [&](void *context) {
        return impl_->packet->UnInitializeDevice(impl_->devices[id].device, context);
    });
    impl_->end_teardown(id);
    return status;
}

NTSTATUS Simulator::query_device_information(DeviceId id, HWN_DEVICE_INFORMATION *information)
{
    return impl_->call_client(id, "query_device_information", [&](void *context) {
        return impl_->packet->QueryDeviceInformation(context, information);
    });
}

NTSTATUS Simulator::set_state(DeviceId id, void *buffer, ULONG length, ULONG *bytes_written)
{
    return impl_->call_client(id, "set_state", [&](void *context) {
        return impl_->packet->SetState(context, static_cast<PHWN_HEADER>(buffer), length, bytes_written);
    });
}

NTSTATUS Simulator::get_state(DeviceId id, void *output, ULONG output_length, void *input, ULONG input_length,
                              ULONG *bytes_read)
{
    return impl_->call_client(id, "get_state", [&](void *context) {
        return impl_->packet->GetState(context, static_cast<PHWN_HEADER>(output), output_length,
                                       static_cast<PHWN_HEADER>(input), input_length, bytes_read);
    });
}

void Simulator::remove_device(DeviceId id)
{
    DeviceRecord *record = impl_->device_record(id, "remove_device");
    if (record == nullptr) {
        return;
    }
    impl_->cancel_writes_to(record->device);
    detail::PlatformCall call(impl_.get());
    impl_->release_context(id);
    impl_->destroy(record->device);  // also releases the client context
    impl_->threads.wake();
}

}  // namespace vsim

EXTERN_C NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT *DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                  WDFDEVICE *Device)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    if (Device != nullptr) {
        *Device = nullptr;
    }
    sim->enter(Op::WdfDeviceCreate);
    if (!sim->require_framework("WdfDeviceCreate")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfDeviceCreate)) {
        return *status;
    }
    if (DeviceInit == nullptr || *DeviceInit == nullptr || (*DeviceInit)->magic != vsim::detail::kDeviceInitMagic ||
        Device == nullptr) {
        sim->fail("WdfDeviceCreate: NULL or invalid device-init record, or NULL output handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    if (!(*DeviceInit)->prepared) {
        sim->fail("WdfDeviceCreate: the class extension has not prepared the device-init record");
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (!sim->attributes_ok(DeviceAttributes, "WdfDeviceCreate", &status)) {
        return status;
    }
    const DeviceId id = sim->next_device++;
    const WDFOBJECT handle = sim->create(ObjectType::Device, sim->driver, DeviceAttributes, vsim::detail::DeviceData{id});
    DeviceRecord &record = sim->devices[id];
    record.device = static_cast<WDFDEVICE>(handle);
    record.pre_create_attributes = (*DeviceInit)->attributes;
    if (DeviceAttributes != nullptr) {
        record.create_attributes = *DeviceAttributes;
    }
    sim->added = id;
    *DeviceInit = nullptr;  // the framework has taken the record over
    *Device = record.device;
    return STATUS_SUCCESS;
}

EXTERN_C ULONG WdfCmResourceListGetCount(WDFCMRESLIST List)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return 0;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::WdfCmResourceListGetCount);
    if (!sim->require_framework("WdfCmResourceListGetCount") || sim->fault(Op::WdfCmResourceListGetCount)) {
        return 0;
    }
    auto *list = sim->data<vsim::detail::ResourceListData>(List, ObjectType::ResourceList, "WdfCmResourceListGetCount");
    return list ? ULONG(list->descriptors.size()) : 0;
}

EXTERN_C PCM_PARTIAL_RESOURCE_DESCRIPTOR WdfCmResourceListGetDescriptor(WDFCMRESLIST List, ULONG Index)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return nullptr;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::WdfCmResourceListGetDescriptor);
    if (!sim->require_framework("WdfCmResourceListGetDescriptor") || sim->fault(Op::WdfCmResourceListGetDescriptor)) {
        return nullptr;
    }
    auto *list =
        sim->data<vsim::detail::ResourceListData>(List, ObjectType::ResourceList, "WdfCmResourceListGetDescriptor");
    if (list == nullptr) {
        return nullptr;
    }
    if (Index >= list->descriptors.size()) {
        sim->fail("WdfCmResourceListGetDescriptor: index " + std::to_string(Index) + " is out of range (count " +
                  std::to_string(list->descriptors.size()) + ")");
        return nullptr;
    }
    return &list->descriptors[Index];
}

EXTERN_C NTSTATUS HwNRegisterClient(WDFDRIVER Driver, PHWN_CLIENT_REGISTRATION_PACKET RegistrationPacket,
                                    PCUNICODE_STRING RegistryPath)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::HwNRegisterClient);
    if (!sim->require_class_extension("HwNRegisterClient")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::HwNRegisterClient)) {
        return *status;
    }
    if (!is_driver(sim, Driver, "HwNRegisterClient")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (RegistryPath == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = check_packet(RegistrationPacket); !NT_SUCCESS(status)) {
        return status;
    }
    if (sim->packet != nullptr) {
        sim->fail("HwNRegisterClient: a client is already registered");
        return STATUS_INVALID_DEVICE_STATE;
    }
    sim->packet = RegistrationPacket;  // the class extension reads the client's own packet from now on
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS HwNUnregisterClient(WDFDRIVER Driver)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    sim->enter(Op::HwNUnregisterClient);
    if (!sim->require_class_extension("HwNUnregisterClient")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::HwNUnregisterClient)) {
        return *status;
    }
    if (!is_driver(sim, Driver, "HwNUnregisterClient")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (sim->packet == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    sim->packet = nullptr;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS HwNProcessAddDevicePreDeviceCreate(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit,
                                                     PWDF_OBJECT_ATTRIBUTES FdoAttributes)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    const char *function = "HwNProcessAddDevicePreDeviceCreate";
    sim->enter(Op::HwNProcessAddDevicePreDeviceCreate);
    if (!sim->require_class_extension(function)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::HwNProcessAddDevicePreDeviceCreate)) {
        return *status;
    }
    if (!is_driver(sim, Driver, function)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceInit == nullptr || DeviceInit->magic != vsim::detail::kDeviceInitMagic || FdoAttributes == nullptr) {
        sim->fail(std::string(function) + ": NULL or invalid device-init record, or NULL attributes");
        return STATUS_INVALID_PARAMETER;
    }
    if (sim->packet == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDF_OBJECT_ATTRIBUTES_INIT(FdoAttributes);
    FdoAttributes->ContextTypeInfo = &kClxContextType;
    DeviceInit->attributes = *FdoAttributes;
    DeviceInit->prepared = true;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS HwNProcessAddDevicePostDeviceCreate(WDFDRIVER Driver, WDFDEVICE Fdo, LPCGUID ClassGuid)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    const char *function = "HwNProcessAddDevicePostDeviceCreate";
    sim->enter(Op::HwNProcessAddDevicePostDeviceCreate);
    if (!sim->require_class_extension(function)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::HwNProcessAddDevicePostDeviceCreate)) {
        return *status;
    }
    if (!is_driver(sim, Driver, function)) {
        return STATUS_INVALID_PARAMETER;
    }
    vsim::detail::Object *device = sim->lookup(Fdo, ObjectType::Device, function);
    if (device == nullptr || ClassGuid == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (sim->packet == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    DeviceRecord &record = sim->devices[std::get<vsim::detail::DeviceData>(device->data).id];
    record.guid = *ClassGuid;
    record.context_size = sim->packet->ClientContextSize;
    record.context.reset(new uint8_t[record.context_size]);
    std::memset(record.context.get(), kFreshContextFill, record.context_size);
    record.known = true;
    if (device->context_type == &kClxContextType) {
        reinterpret_cast<HWN_CLX_DEVICE_CONTEXT *>(device->context.get())->ClientContext = record.context.get();
    }
    return STATUS_SUCCESS;
}
