// SPDX-License-Identifier: MIT
// The simulated platform's test-facing side: what tests, tools and benchmarks
// use to load the driver, add devices, drive the class extension, advance
// virtual time, read the GPIO lines and the trace, inject faults and read the
// verifier's findings. The driver's logic never includes this header; it sees
// only platform/.
//
// One Simulator exists at a time: the platform's C functions act on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace vsim {

// Virtual time, in the framework's 100 ns units.
using Ticks = int64_t;
inline constexpr Ticks kTicksPerUs = 10;
inline constexpr Ticks kTicksPerMs = 10'000;
inline constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks us(int64_t n) { return n * kTicksPerUs; }
constexpr Ticks ms(int64_t n) { return n * kTicksPerMs; }

// Every platform operation, for fault injection, call counts and hooks.
enum class Op {
    WdfDriverCreate,
    WdfDeviceCreate,
    WdfCmResourceListGetCount,
    WdfCmResourceListGetDescriptor,
    WdfIoTargetCreate,
    WdfIoTargetOpen,
    WdfTimerCreate,
    WdfTimerStart,
    WdfTimerStop,
    WdfWaitLockCreate,
    WdfWaitLockAcquire,
    WdfWaitLockRelease,
    WdfObjectGetTypedContext,
    WdfObjectDelete,
    WdfRequestCreate,
    WdfMemoryCreatePreallocated,
    WdfIoTargetFormatRequestForIoctl,
    WdfRequestSetCompletionRoutine,
    WdfRequestSend,
    WdfRequestGetStatus,
    RequestCompletion,  // the GPIO controller completing a request
    HwNRegisterClient,
    HwNUnregisterClient,
    HwNProcessAddDevicePreDeviceCreate,
    HwNProcessAddDevicePostDeviceCreate,
    RtlStringCbPrintfW,
    RtlUnicodeStringPrintf,
    ExSetTimerResolution,
    vDbgPrintEx,
    Count
};
const char *op_name(Op op);
std::optional<Op> op_from_name(std::string_view name);
// The failure statuses the real platform can return from `op`, the most
// common first; empty for an operation that cannot fail (one that returns a
// value or nothing). Injected faults should be among these.
std::span<const NTSTATUS> possible_failures(Op op);
bool can_fail_with(Op op, NTSTATUS status);

enum class ObjectType { Driver, Device, IoTarget, Timer, WaitLock, Request, Memory, ResourceList, Count };
const char *object_type_name(ObjectType type);

struct TraceLine {
    Ticks time;
    ULONG component;
    ULONG level;
    std::string format;  // as the driver passed it
    std::string text;    // formatted with printf semantics
};

struct GpioWrite {
    Ticks sent;
    Ticks completed;  // -1 while in flight
    std::string line;
    uint64_t connection_id;
    ULONG ioctl;
    int value;  // the byte the request carried, -1 if it carried none
    NTSTATUS status;  // completion status (STATUS_PENDING while in flight)
};

struct LineChange {
    Ticks time;
    std::string line;
    int value;  // every completed write is recorded, also when the level does not change
};

// An injected fault taking effect: the `call`th consultation of `op` (as
// inject() counts them) failed with `status` at `time`.
struct FaultTaken {
    Ticks time;
    Op op;
    NTSTATUS status;
    uint64_t call;
};

struct ResolutionCall {
    Ticks time;
    ULONG desired_time;
    bool set;
};

struct ObjectInfo {
    ObjectType type;
    WDFOBJECT parent;  // NULL for the driver object
    std::string context_type;  // "" when the object has no typed context
    size_t context_size;
};

struct TimerInfo {
    bool pending;
    Ticks due;  // valid while pending
    ULONG period;
    bool automatic_serialization;
    ULONG tolerable_delay;
    WDF_EXECUTION_LEVEL execution_level;
    int running;  // callback runs in progress
    uint64_t fired;
};

struct IoTargetInfo {
    bool open;
    std::string device_name;  // narrowed from the wide name passed to WdfIoTargetOpen
    WDF_IO_TARGET_OPEN_TYPE type;
    ACCESS_MASK desired_access;
    ULONG share_access;
    ULONG file_attributes;
    ULONG create_disposition;
    ULONG create_options;
};

// A device's class-extension identity.
using DeviceId = int;

// splitmix64: small, fast, and the same on every platform, unlike the
// standard library's distributions; every seed (0 too) gives a good stream.
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed) : state_(seed) {}
    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

private:
    uint64_t state_;
};

// How simulated threads take turns in virtual time.
//
// Sequential (the default): a thread runs until it finishes or must wait;
// timer callbacks and completions run one after another as their events come
// due, and a waiting thread resumes as soon as what it waits for is released.
//
// Random and Pct: every platform call is a point where the scheduler may
// switch to another ready thread; timer callbacks and completions each run on
// a thread of their own, concurrent with the class-extension calls and with
// each other; a ready thread may be kept waiting while virtual time moves on,
// for at most `window`. Random picks uniformly among the ready threads at
// every point; Pct gives each thread a random priority, always runs the
// highest, and lowers the running thread's priority at `depth` - 1 points
// chosen at random among the first `steps` (probabilistic concurrency
// testing, which finds a fault of depth d in one run of k points with
// probability at least 1 / (n k^(d-1)) for n threads). The same seed gives the
// same interleaving.
//
// Choices: the interleaved schedule driven by a list of choices, for the
// bounded exhaustive search. Every point where two threads or more could run
// is a choice point, numbered from 0 in the order the run meets it; `forced`
// says which candidate some points take, and every other point takes its
// default: at a platform call the running thread goes on, elsewhere the
// first ready thread runs (in the order threads were first carried), and the
// main thread, waiting to move virtual time on, goes on only once no other
// thread is ready. A choice that switches away from a thread at a platform
// call, or that lets the main thread go on (the next call or event arrives,
// or time moves on within the window) while another thread is ready, is a
// preemption; choosing among ready threads where one parks or ends is free.
enum class SchedulePolicy { Sequential, Random, Pct, Choices };

// One choice point of a Choices run, as the run met it.
struct ChoicePoint {
    uint16_t candidates = 0;  // how many threads could run (at least 2)
    uint16_t taken = 0;       // the index of the one that ran
    uint16_t fallback = 0;    // the index the point takes when not forced
    int16_t stay = -1;        // a platform call: the running thread's index; any other is a preemption
    int16_t delay = -1;       // the main thread's index while it waits to move time on (a preemption)
    bool costs(uint32_t index) const { return (stay >= 0 && int(index) != stay) || int(index) == delay; }
};

// Forced choice `index` at choice point `point`.
struct Choice {
    uint32_t point = 0;
    uint32_t index = 0;
    bool operator==(const Choice &) const = default;
};

// What a Choices run met; shared with whoever made the schedule.
struct ChoiceLog {
    std::vector<ChoicePoint> points;
    bool mismatch = false;  // a forced choice named a candidate the point did not have
};

struct Schedule {
    SchedulePolicy policy = SchedulePolicy::Sequential;
    uint64_t seed = 0;
    uint32_t depth = 3;
    uint32_t steps = 2000;
    Ticks window = 2 * kTicksPerMs;
    std::vector<Choice> forced;      // Choices: in order of point
    std::shared_ptr<ChoiceLog> log;  // Choices: when set, every choice point is recorded there
};

// "sequential", "random", "pct", "pct:D", "pct:D:K" or "choices:P.I,P.I..."
// (forced choices, points in increasing order; "choices" alone takes every
// default); nothing when the text is none of these (*error says why).
std::optional<Schedule> parse_schedule(std::string_view text, std::string *error);
std::string format_schedule(const Schedule &schedule);  // without the seed

// One switch from a thread to another, as the scheduler made it.
struct SwitchRecord {
    Ticks time;
    std::string at;  // the platform call about to be made, or why the thread stopped
    std::string from;
    std::string to;
};
// How the platform runs the driver's code.
//  - Virtual: one thread at a time in virtual time; deterministic (the default).
//  - Real: timer callbacks on a pool of worker threads at their execution
//    level, request completions on a thread of their own at DISPATCH_LEVEL,
//    class-extension calls on the caller's thread (overlapping, unless
//    Options::serialise_client_calls makes them one at a time per device),
//    wait locks with real time-outs, due times on the monotonic clock. now()
//    is the time since the simulator was made; run_for and run_until sleep
//    while the platform's threads work; run_until_idle waits until nothing is
//    pending or running. Read the simulator's records (lines, writes, trace,
//    verifier) once it is idle, or from the trace sink. run_timer_callback
//    queues a run for a worker; before_call hooks need the virtual mode.
enum class Threads { Virtual, Real };

// Where a sent request's completion routine runs (virtual time only; on real
// threads completions always run on the completion thread).
//  - Later: as an event of its own, gpio_latency after the send (even when
//    that is 0): the send has always returned first.
//  - InsideSend: before WdfRequestSend returns, on the sender's thread, at the
//    sender's level and as the sender (the locks it holds stay held), as the
//    real platform may when the controller finishes at once; gpio_latency is
//    not used. The request may be gone when the send returns.
//  - Seeded: each send chooses one of the two, from a stream of its own seeded
//    with the schedule's seed: the same seed makes the same choices.
enum class Completions { Later, InsideSend, Seeded };

// When a timer fires (virtual time only).
//  - Exact: at its due time.
//  - ClockTicks: at the first clock tick at or after its due time, as on the
//    target. Ticks come every 15.625 ms (the system's resting resolution) and
//    every 1 ms while a resolution request is held (the finest granted; a
//    request for a coarser time gets that); a pending timer moves to the new
//    ticks when the resolution changes.
enum class TimerClock { Exact, ClockTicks };

// The kernel's system time (100 ns units since 1601-01-01) when a simulator
// starts: 2026-01-01 00:00 UTC. A positive (absolute) due time or lock
// time-out is a system time; one before this lies in the past.
inline constexpr Ticks kSystemTimeAtStart = 134'116'992'000'000'000;

struct Options {
    Ticks gpio_latency = 0;   // from send to completion
    bool echo_trace = false;  // print each trace line to stderr as it arrives
    Schedule schedule;
    Threads threads = Threads::Virtual;
    unsigned worker_threads = 2;  // the real mode's timer workers (at least 2)
    Completions completions = Completions::Later;
    TimerClock timer_clock = TimerClock::Exact;
    // The class extension delivers a device's calls (set-state, get-state,
    // start, stop, teardown, information) from several threads at once, as
    // the real one may: calls on different threads overlap at every platform
    // call. True makes them one at a time per device, a call from another
    // thread waiting until the one in progress has returned: kinder than the
    // platform, kept for comparison.
    bool serialise_client_calls = false;
    // Virtual time only. The class extension's start, stop and teardown run
    // inside the device's power transitions, during which the power manager
    // holds what ExSetTimerResolution needs: while one is in progress, that
    // call blocks, on any thread, until it ends. A transition that makes the
    // call, or waits for a thread blocked in it, deadlocks, and the verifier
    // reports it.
    bool power_transitions = false;
    // Keep the records that grow with simulated time: writes(),
    // line_changes(), trace(), resolution_calls() and call_log(). With false
    // they stay empty and memory stays flat however long the run; the sinks
    // (set_write_sink, set_line_change_sink, set_trace_sink) still see every
    // record as it is made, and the counts (calls(), objects) are kept.
    bool keep_records = true;
    // Keep consultation_log(): the calls that could have been failed.
    bool log_consultations = false;
};

// Builders for resource descriptors.
CM_PARTIAL_RESOURCE_DESCRIPTOR gpio_io(uint64_t connection_id);
CM_PARTIAL_RESOURCE_DESCRIPTOR connection(UCHAR connection_class, UCHAR connection_type, uint64_t connection_id);
CM_PARTIAL_RESOURCE_DESCRIPTOR memory_resource(uint64_t start, ULONG length);
CM_PARTIAL_RESOURCE_DESCRIPTOR interrupt_resource(ULONG vector);
using ResourceList = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;

class Simulator {
public:
    explicit Simulator(Options options = {});
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    static Simulator *current();

    // --- virtual time ---------------------------------------------------
    Ticks now() const;
    void run_for(Ticks duration);
    void run_until(Ticks time);
    // Runs until nothing is pending or `limit` of virtual time has passed;
    // returns true when idle.
    bool run_until_idle(Ticks limit = 60 * kTicksPerSecond);
    size_t pending_events() const;

    // --- load-time layer ---------------------------------------------------
    // Binds the framework and the class extension, calls DriverEntry, and
    // unbinds itself when it fails.
    NTSTATUS load_driver();
    // The same with another entry point in place of the driver's DriverEntry
    // (a test's own minimal driver).
    NTSTATUS load_driver(DRIVER_INITIALIZE *entry);
    // Runs the driver's unload callback, then unbinds the class extension and
    // the framework.
    void unload_driver();
    bool driver_loaded() const;
    WDFDRIVER driver() const;
    const HWN_CLIENT_REGISTRATION_PACKET *registration() const;  // NULL when not registered
    bool framework_bound() const;
    bool class_extension_bound() const;
    // "bind KmdfLibrary 1.11.0", "bind HwNClx 1.0.0: <its four functions>",
    // "unbind HwNClx", "unbind KmdfLibrary", in the order they happened.
    const std::vector<std::string> &binding_log() const;

    // --- framework and class extension -----------------------------------
    // The framework calls the driver's device-add callback; on success *id
    // names the new device (its client context is allocated, not initialised).
    NTSTATUS add_device(DeviceId *id);
    WDFDEVICE device(DeviceId id) const;
    void *client_context(DeviceId id) const;
    const GUID *device_class_guid(DeviceId id) const;
    // The attributes the class extension's pre-create left, and those that
    // reached WdfDeviceCreate (byte for byte as received).
    const WDF_OBJECT_ATTRIBUTES *pre_create_attributes(DeviceId id) const;
    const WDF_OBJECT_ATTRIBUTES *device_create_attributes(DeviceId id) const;
    NTSTATUS initialize_device(DeviceId id, const ResourceList &raw, const ResourceList &translated);
    NTSTATUS start_device(DeviceId id);
    NTSTATUS stop_device(DeviceId id);
    NTSTATUS uninitialize_device(DeviceId id);
    NTSTATUS query_device_information(DeviceId id, HWN_DEVICE_INFORMATION *information);
    NTSTATUS set_state(DeviceId id, void *buffer, ULONG length, ULONG *bytes_written);
    NTSTATUS get_state(DeviceId id, void *output, ULONG output_length, void *input, ULONG input_length,
                       ULONG *bytes_read);
    // The framework deletes the device with its descendants; the class
    // extension releases the client context. The requests in flight to the
    // device's targets are cancelled first: their completion routines run
    // with STATUS_CANCELLED and the lines keep their values.
    void remove_device(DeviceId id);
    // The driver's teardown of the device has returned. From then on the
    // class extension makes no call for it but a new initialisation,
    // client_context() is the context as teardown left it, and the verifier
    // reports a framework call on the device's objects (its requests and a
    // timer's own context aside), a timer of the device armed or firing, and
    // a write to the context the driver had.
    bool torn_down(DeviceId id) const;

    // --- GPIO controller behind the Resource Hub ---------------------------
    void add_line(uint64_t connection_id, std::string name, int initial_level = 0);
    int level(std::string_view line) const;  // -1 for an unknown line
    const std::vector<GpioWrite> &writes() const;
    const std::vector<LineChange> &line_changes() const;
    // Called with each write when it completes (or is abandoned with its
    // request), and with each line change as it happens, kept or not. On real
    // threads they run on the platform's threads, one at a time.
    void set_write_sink(std::function<void(const GpioWrite &)> sink);
    void set_line_change_sink(std::function<void(const LineChange &)> sink);
    void set_gpio_latency(Ticks latency);

    // --- kernel services -----------------------------------------------------
    const std::vector<TraceLine> &trace() const;
    void clear_trace();
    // With `text` false the sink is told of each line without its format and
    // text (both empty), and a line nothing else keeps or echoes is not
    // formatted at all: for a caller that only counts lines.
    void set_trace_sink(std::function<void(const TraceLine &)> sink, bool text = true);
    const std::vector<ResolutionCall> &resolution_calls() const;
    int outstanding_resolution_requests() const;  // requests minus releases
    // The clock tick in force now: 15.625 ms, or the finest resolution held.
    Ticks clock_tick() const;
    KIRQL irql() const;

    // --- fault injection -----------------------------------------------------
    // Fails the nth call of `op` from now (1 = the next), or every call when
    // nth is 0, with `status`. Meaning per operation: a status-returning
    // operation returns it without acting; WdfWaitLockAcquire with a timeout
    // returns it without the lock (use STATUS_TIMEOUT for a time-out; only
    // acquires that pass a time-out are counted towards nth, since an
    // untimed wait cannot time out);
    // WdfRequestSend returns FALSE and the request carries the status;
    // RequestCompletion completes the request with the status and leaves the
    // line unchanged; WdfObjectGetTypedContext and
    // WdfCmResourceListGetDescriptor return NULL; WdfTimerStart and
    // WdfTimerStop return FALSE without acting; WdfCmResourceListGetCount
    // returns 0. Faults on the operations that return nothing
    // (WdfObjectDelete, WdfWaitLockRelease, WdfRequestSetCompletionRoutine)
    // are ignored; calls() still counts them.
    void inject(Op op, NTSTATUS status, uint32_t nth = 1);
    void clear_faults();
    size_t armed_faults() const;  // injected and not yet spent (every-call faults stay)
    Ticks last_fault_time() const;  // when an injected fault last took effect; -1 if never
    uint64_t calls(Op op) const;
    // Injected faults of `op` that have taken effect so far.
    uint64_t faults_fired(Op op) const;
    // Called each time an injected fault takes effect, on the thread that
    // made the call, with the platform held.
    void set_fault_sink(std::function<void(const FaultTaken &)> sink);
    const std::vector<Op> &call_log() const;
    // The calls that could have been failed, in order: those that consulted
    // the injected faults (an acquire without a time-out does not). Kept with
    // Options::log_consultations; the nth entry of an op is the call `inject(op, status, n)`
    // made before the first call fails.
    const std::vector<Op> &consultation_log() const;
    void clear_call_log();

    // Runs `action` just before the nth call of `op` from now, as another
    // thread would at that instant: the interrupted thread holds what it
    // holds. An action that waits on something the interrupted thread holds
    // (a wait lock, or WdfTimerStop with wait on a callback it is running) is
    // parked and resumes when that is released.
    void before_call(Op op, uint32_t nth, std::function<void()> action);
    // Runs the timer's callback now, on a new thread, as the framework does
    // when its work item runs (also while an earlier run is still going).
    void run_timer_callback(WDFTIMER timer);

    // --- simulated threads ----------------------------------------------------
    // Runs `body` on a simulated thread of its own, as a caller on another
    // thread would (a class-extension call made concurrently). Under the
    // sequential schedule it runs at once until it finishes or must wait;
    // otherwise it is ready and the schedule decides when it runs.
    void spawn_thread(std::string label, std::function<void()> body);
    // Lets every ready thread run until each has finished or waits, without
    // moving virtual time.
    void run_threads();
    size_t live_threads() const;  // spawned and not finished (waiting ones too)
    const Schedule &schedule() const;
    uint64_t scheduling_points() const;
    // The switches made so far (the most recent 100,000; when there are
    // that many, the older half goes).
    const std::vector<SwitchRecord> &switches() const;
    size_t switch_count() const;                                    // switches().size()
    std::vector<SwitchRecord> recent_switches(size_t count) const;  // the end of switches()

    // A checker's lock discipline: `size` bytes at `memory` may change only
    // while their changer holds `lock`. At every platform call the simulator
    // compares them with what they were at the previous one; a change made by
    // a thread that does not hold the lock while another thread holds it is
    // a race, reported by races().
    void watch(const void *memory, size_t size, WDFWAITLOCK lock, std::string name);
    const std::vector<std::string> &races() const;

    // --- objects and the verifier --------------------------------------------
    size_t live_objects(ObjectType type) const;
    uint64_t created_objects(ObjectType type) const;
    uint64_t deleted_objects(ObjectType type) const;
    std::optional<ObjectInfo> object_info(WDFOBJECT handle) const;
    // The object's typed context, without a platform call (NULL when none).
    void *typed_context(WDFOBJECT handle) const;
    std::optional<TimerInfo> timer_info(WDFTIMER timer) const;
    std::optional<IoTargetInfo> io_target_info(WDFIOTARGET target) const;
    bool lock_held(WDFWAITLOCK lock) const;

    // Misuse reported the way a driver verifier would: a null, stale or
    // wrong-type handle, a double delete, pageable code at raised level, a
    // stop with wait from the timer's own callback, ...
    const std::vector<std::string> &verifier_failures() const;
    void clear_verifier_failures();
    // Adds a failure for each request still alive and each lock still held;
    // returns all failures so far.
    const std::vector<std::string> &check_quiescent();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vsim
