// SPDX-License-Identifier: MIT
// The load-time layer and the driver object: binding the framework library
// and the class extension, DriverEntry, unload, and WdfDriverCreate.
#include "internal.h"
#include "platform_lock.h"

#include "driver/driver.h"

using vsim::ObjectType;
using vsim::Op;

namespace {
constexpr char kRegistryPath[] = "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\vibra";

void unbind(vsim::detail::State &sim)
{
    sim.packet = nullptr;
    if (sim.clx_bound) {
        sim.clx_bound = false;
        sim.binding_log.push_back("unbind HwNClx");
    }
    sim.delete_driver_tree();
    if (sim.framework_bound) {
        sim.framework_bound = false;
        sim.binding_log.push_back("unbind KmdfLibrary");
    }
}
}  // namespace

namespace vsim {

void detail::State::delete_driver_tree()
{
    if (driver != nullptr) {
        destroy(driver);
        driver = nullptr;
    }
    threads.wake();
}

NTSTATUS Simulator::load_driver() { return load_driver(&DriverEntry); }

NTSTATUS Simulator::load_driver(DRIVER_INITIALIZE *entry)
{
    Impl &sim = *impl_;
    if (sim.loaded || sim.framework_bound) {
        return STATUS_INVALID_DEVICE_STATE;  // already loaded
    }
    sim.framework_bound = true;
    sim.binding_log.push_back("bind KmdfLibrary 1.11.0");
    sim.clx_bound = true;
    sim.binding_log.push_back(
        "bind HwNClx 1.0.0: HwNRegisterClient, HwNUnregisterClient, HwNProcessAddDevicePreDeviceCreate, "
        "HwNProcessAddDevicePostDeviceCreate");

    sim.driver_object = DRIVER_OBJECT{4, SHORT(sizeof(DRIVER_OBJECT)), nullptr};
    size_t length = 0;
    for (; kRegistryPath[length] != 0; ++length) {
        sim.registry_path_text[length] = WCHAR(kRegistryPath[length]);
    }
    sim.registry_path.Buffer = sim.registry_path_text;
    sim.registry_path.Length = USHORT(length * sizeof(WCHAR));
    sim.registry_path.MaximumLength = USHORT(sizeof sim.registry_path_text);

    const NTSTATUS status = entry(&sim.driver_object, &sim.registry_path);
    if (!NT_SUCCESS(status)) {
        unbind(sim);  // a failed DriverEntry leaves the undoing to the loader
        return status;
    }
    sim.loaded = true;
    return status;
}

void Simulator::unload_driver()
{
    Impl &sim = *impl_;
    if (!sim.loaded) {
        return;
    }
    if (detail::Object *object = sim.find(sim.driver)) {
        const PFN_WDF_DRIVER_UNLOAD unload = std::get<detail::DriverData>(object->data).config.EvtDriverUnload;
        if (unload != nullptr) {
            unload(sim.driver);
        }
    }
    sim.loaded = false;
    unbind(sim);
}

bool Simulator::driver_loaded() const { return impl_->loaded; }
WDFDRIVER Simulator::driver() const { return impl_->driver; }
const HWN_CLIENT_REGISTRATION_PACKET *Simulator::registration() const { return impl_->packet; }
bool Simulator::framework_bound() const { return impl_->framework_bound; }
bool Simulator::class_extension_bound() const { return impl_->clx_bound; }
const std::vector<std::string> &Simulator::binding_log() const { return impl_->binding_log; }

}  // namespace vsim

EXTERN_C NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                  PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                  WDFDRIVER *Driver)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    vsim::detail::PlatformCall call(sim);
    if (Driver != nullptr) {
        *Driver = nullptr;
    }
    sim->enter(Op::WdfDriverCreate);
    if (!sim->require_framework("WdfDriverCreate")) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (auto status = sim->fault(Op::WdfDriverCreate)) {
        return *status;
    }
    if (DriverObject == nullptr || RegistryPath == nullptr || DriverConfig == nullptr) {
        sim->fail("WdfDriverCreate: NULL driver object, registry path or configuration");
        return STATUS_INVALID_PARAMETER;
    }
    if (DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        sim->fail("WdfDriverCreate: WDF_DRIVER_CONFIG.Size is " + std::to_string(DriverConfig->Size) + ", expected " +
                  std::to_string(sizeof(WDF_DRIVER_CONFIG)));
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (sim->driver != nullptr) {
        sim->fail("WdfDriverCreate: the driver object already exists");
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (!sim->attributes_ok(DriverAttributes, "WdfDriverCreate", &status)) {
        return status;
    }
    sim->driver = static_cast<WDFDRIVER>(
        sim->create(ObjectType::Driver, nullptr, DriverAttributes, vsim::detail::DriverData{*DriverConfig}));
    if (Driver != nullptr) {
        *Driver = sim->driver;
    }
    return STATUS_SUCCESS;
}
