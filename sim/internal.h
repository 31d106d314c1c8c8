// SPDX-License-Identifier: MIT
// The simulator's inside: the object table, the simulated threads, the event
// queue and the state of every platform component. Only sim/*.cpp include it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "fiber.h"
#include "sim.h"
#include "tables.h"

#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#endif
#ifndef FILE_WRITE_DATA
#define FILE_WRITE_DATA 0x0002
#endif

// The framework's device-init record: opaque to the driver, ours to define.
struct WDFDEVICE_INIT {
    uint32_t magic;
    bool prepared;  // the class extension's pre-create has run
    WDFDRIVER driver;
    WDF_OBJECT_ATTRIBUTES attributes;  // as the pre-create left them
};

#if defined(__SANITIZE_ADDRESS__)
#define VSIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VSIM_ASAN 1
#endif
#endif
#ifdef VSIM_ASAN
#include <sanitizer/asan_interface.h>
#define VSIM_POISON(address, size) ASAN_POISON_MEMORY_REGION((address), (size))
#define VSIM_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION((address), (size))
#else
#define VSIM_POISON(address, size) ((void)(address), (void)(size))
#define VSIM_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace vsim::detail {

inline constexpr uint32_t kDeviceInitMagic = 0x54494E49;  // "INIT"
inline constexpr uint8_t kReleasedFill = 0xDD;  // a client context released after teardown

class RealPlatform;  // the real-threads mode (realtime.h)

// --- simulated threads -------------------------------------------------------

// A fiber that carries simulated threads. Only the carrier holding the baton
// runs; the others are switched out. The main carrier is the test's own
// thread, on its own stack. Carriers are kept when their simulated thread
// ends and carry the next one.
struct Carrier {
    int id = 0;
    int identity = 0;              // the simulated thread running on it now
    KIRQL irql = PASSIVE_LEVEL;    // of that simulated thread
    Carrier *return_to = nullptr;  // sequential: who gets the baton when this one parks or ends
    bool parked = false;
    bool finished = false;
    std::function<bool()> ready;   // while parked: may it go on?
    std::string waiting_for;       // while parked, for reports
    std::unique_ptr<Fiber> fiber;

    std::function<void()> body;    // the simulated thread to run next
    bool retire = false;           // the carrier's fiber ends
    // For the schedule's record, shared with the switches that name it.
    std::shared_ptr<const std::string> label;

    // Interleaved schedules only.
    bool runnable = false;         // may be given the baton
    Ticks ready_since = 0;         // virtual time it last became ready
    std::optional<Ticks> deadline; // while parked with a time-out
    uint64_t priority = 0;         // Pct
    int wake_result = 0;           // a WaitResult: how its last wait ended
};

// How a wait ended.
enum class WaitResult { Woken, TimedOut, Deadlock };

// Chooses the next thread at each scheduling point of an interleaved schedule.
class Policy {
public:
    virtual ~Policy() = default;
    virtual void created(Carrier &carrier) = 0;
    // Called at every scheduling point of the running thread, numbered from 1.
    virtual void step(Carrier &running, uint64_t number) = 0;
    virtual Carrier *pick(const std::vector<Carrier *> &candidates) = 0;
    // pick() with what a choice costs: `stay` is the running thread at a
    // platform call (taking another preempts it), `delay` the main thread
    // waiting to move virtual time on (taking it lets the next call or event
    // come, or time move on, before the ready threads run); either may be
    // null.
    virtual Carrier *choose(const std::vector<Carrier *> &candidates, const Carrier *stay, const Carrier *delay)
    {
        (void)stay;
        (void)delay;
        return pick(candidates);
    }
};
std::unique_ptr<Policy> make_policy(const Schedule &schedule);
// The Choices schedule (choices.cpp), and its forced choices as text.
std::unique_ptr<Policy> make_choices(const Schedule &schedule);
bool parse_choices(std::string_view text, std::vector<Choice> *forced, std::string *error);
std::string format_choices(const std::vector<Choice> &forced);

class Scheduler {
public:
    Scheduler(const Schedule &schedule, const Ticks *clock);
    ~Scheduler();
    Carrier *current();
    int new_identity() { return ++last_identity_; }
    bool interleaved() const { return policy_ != nullptr; }

    // Runs `body` as a new simulated thread: at once until it finishes or
    // parks (sequential, and hooks), or, with start_now false under an
    // interleaved schedule, ready for the schedule to pick.
    void spawn(std::function<void()> body, std::string label = "thread", KIRQL irql = PASSIVE_LEVEL,
               bool start_now = true);
    // Parks the current thread until `ready` holds or, with a deadline, until
    // virtual time reaches it. Deadlock when no other thread could ever let
    // it go on (then it did not park).
    WaitResult park(std::function<bool()> ready, std::string what, std::optional<Ticks> deadline = std::nullopt);
    // Sequential: lets every parked thread that may now go on run, in parking
    // order, before the caller continues. Interleaved: makes them ready.
    void wake();
    std::vector<const Carrier *> parked() const;

    // --- interleaved schedules ---
    // A scheduling point of the running thread, before platform call `at`.
    void preempt(const char *at);
    // The main thread, about to move virtual time to `next`: runs the other
    // threads until none is ready or the schedule lets time move on. Returns
    // `next`, or an earlier deadline of a parked thread that time reaches first.
    Ticks settle(Ticks next);
    // Times out the parked threads whose deadline `now` has reached.
    void expire(Ticks now);
    // Runs ready threads until none is (time does not move).
    void drain();
    size_t live() const;  // spawned threads not finished
    bool any_ready() const;
    uint64_t points() const { return points_; }
    // The record as SwitchRecords, made from the light one when asked.
    const std::vector<SwitchRecord> &switches() const;
    size_t switch_count() const { return switches_.size(); }
    std::vector<SwitchRecord> recent_switches(size_t count) const;
    // Called on the running thread before it hands the baton on.
    std::function<void()> before_switch;

private:
    void switch_to(Carrier *self, Carrier *next, const char *why);
    void jump(Carrier *self, Carrier *next);
    Carrier *carrier_for(std::function<void()> body, std::string label, KIRQL irql);
    void finished(Carrier *self);
    const std::vector<Carrier *> &candidates(Carrier *excluded) const;
    bool may_advance() const;
    Carrier *pick(Carrier *excluded);
    const Carrier *delay() const;  // the main thread, while it waits to move time on
    void record(const char *why, const Carrier *from, const Carrier *to);
    void resume(Carrier *carrier, WaitResult result);

    Carrier main_;
    Carrier *running_ = &main_;
    std::vector<std::unique_ptr<Carrier>> carriers_;
    std::vector<Carrier *> idle_;
    std::vector<Carrier *> parked_;
    mutable std::vector<Carrier *> choices_;  // candidates()'s buffer
    int last_carrier_ = 0;
    int last_identity_ = 0;

    std::unique_ptr<Policy> policy_;
    const Ticks *clock_;
    Ticks window_ = 0;
    bool main_in_loop_ = false;
    Ticks loop_next_ = 0;
    uint64_t points_ = 0;
    // A switch as made: the call it came at is a name with static storage,
    // the threads' labels are shared, so that a switch copies no text.
    struct Switch {
        Ticks time;
        const char *at;
        std::shared_ptr<const std::string> from;
        std::shared_ptr<const std::string> to;
        SwitchRecord record() const { return {time, at, *from, *to}; }
    };
    std::vector<Switch> switches_;
    uint64_t dropped_ = 0;  // switches erased from the front
    mutable std::vector<SwitchRecord> shown_;
    mutable uint64_t shown_dropped_ = 0;
};

// --- objects -----------------------------------------------------------------

struct DriverData {
    WDF_DRIVER_CONFIG config;
};

struct DeviceData {
    DeviceId id;
};

struct TargetData {
    bool open = false;
    bool attempted = false;
    IoTargetInfo info{};
    uint64_t connection_id = 0;
    bool writable = false;
};

struct TimerData {
    WDF_TIMER_CONFIG config;
    WDF_EXECUTION_LEVEL level;
    bool pending = false;
    Ticks due = 0;                 // when the pending event fires (a clock tick in tick mode)
    Ticks asked = 0;               // the due time the driver asked for
    uint64_t seq = 0;              // key of the pending event
    std::vector<int> running;      // identities running the callback
    int stop_waiters = 0;          // stops with wait in progress
    uint64_t fired = 0;
};

struct LockData {
    int owner = 0;  // identity, 0 when free
};

struct RequestData {
    WDFIOTARGET created_for = nullptr;
    bool formatted = false;
    bool completed = false;  // completed since it was last formatted: needs WdfRequestReuse first
    WDFIOTARGET formatted_for = nullptr;
    int formatted_byte = -1;  // the input byte when formatted, -1 if it carries none
    ULONG ioctl = 0;
    WDFMEMORY input = nullptr, output = nullptr;
    size_t input_offset = 0, input_length = 0, output_offset = 0, output_length = 0;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = nullptr;
    WDFCONTEXT routine_context = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    bool in_flight = false;
    WDFIOTARGET sent_to = nullptr;
    Ticks due = 0;        // of the completion event
    uint64_t seq = 0;
    uint64_t sent_order = 0;  // the controller handles a target's requests in this order
    bool cancelled = false;  // its target is closing: it completes with STATUS_CANCELLED
    vsim::GpioWrite record;  // the write this request carries, once sent
    size_t write = 0;        // its index in the write log, when records are kept
};

struct MemoryData {
    void *buffer;
    size_t size;
};

struct ResourceListData {
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors;
};

using Payload = std::variant<std::monostate, DriverData, DeviceData, TargetData, TimerData, LockData, RequestData,
                             MemoryData, ResourceListData>;

struct Object {
    ObjectType type = ObjectType::Count;
    uint32_t index = 0;
    uint32_t generation = 0;
    bool alive = false;
    WDFOBJECT parent = nullptr;
    std::vector<WDFOBJECT> children;
    const WDF_OBJECT_CONTEXT_TYPE_INFO *context_type = nullptr;
    std::unique_ptr<uint8_t[]> context;
    size_t context_size = 0;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
    Payload data;
};

// --- the executor ----------------------------------------------------------------

enum class EventKind { TimerFires, RequestCompletes };

struct Event {
    EventKind kind;
    WDFOBJECT object;
};

// --- the class extension and devices -----------------------------------------------

struct DeviceRecord {
    WDFDEVICE device = nullptr;
    bool known = false;  // post-create has run
    GUID guid{};
    std::unique_ptr<uint8_t[]> context;
    size_t context_size = 0;
    WDF_OBJECT_ATTRIBUTES pre_create_attributes{};
    WDF_OBJECT_ATTRIBUTES create_attributes{};
    int busy = 0;  // the thread in a class-extension call for this device
    // Teardown has returned: nothing of the driver may touch the device any
    // more. The context the driver had is filled with kReleasedFill (and
    // poisoned for the address sanitizer) as the class extension may release
    // it; `kept` is what it held then, for the test-facing side.
    bool torn_down = false;
    std::unique_ptr<uint8_t[]> kept;
};

struct Fault {
    Op op;
    NTSTATUS status;
    uint64_t at;  // consultation number that fails; 0 = every
};

struct Hook {
    Op op;
    uint64_t at;  // call number before which it runs
    std::function<void()> action;
};

struct Line {
    std::string name;
    int level;
};

struct Watch {
    const uint8_t *memory;
    size_t size;
    WDFWAITLOCK lock;
    std::string name;
    std::vector<uint8_t> last;
};

}  // namespace vsim::detail

namespace vsim::detail {

// Everything the simulator knows. The platform's C functions reach it through
// active(); the Simulator's members through their Impl.
struct State {
    explicit State(Options o);
    ~State();

    Options options;
    detail::Scheduler threads;

    // virtual time
    Ticks now = 0;
    uint64_t next_seq = 0;
    unsigned scheduled_kinds = 0;  // bit per EventKind scheduled since the real platform last looked
    detail::SortedQueue<std::pair<Ticks, uint64_t>, detail::Event> events;  // by due time, then scheduling
    int dispatch_depth = 0;

    // objects
    detail::SlotTable<detail::Object> objects;  // a slot never moves: references stay valid
    std::vector<uint32_t> free_slots;
    uint64_t created[size_t(ObjectType::Count)] = {};
    uint64_t deleted[size_t(ObjectType::Count)] = {};
    size_t live[size_t(ObjectType::Count)] = {};

    // load-time layer, driver and class extension
    bool framework_bound = false;
    bool clx_bound = false;
    std::vector<std::string> binding_log;
    DRIVER_OBJECT driver_object{};
    WCHAR registry_path_text[64] = {};
    UNICODE_STRING registry_path{};
    WDFDRIVER driver = nullptr;
    bool loaded = false;
    const HWN_CLIENT_REGISTRATION_PACKET *packet = nullptr;
    std::map<DeviceId, detail::DeviceRecord> devices;
    DeviceId next_device = 1;
    WDFDEVICE_INIT *adding = nullptr;  // the device-init record of the add in progress
    DeviceId added = 0;               // the device that add created, if any

    // GPIO
    std::map<uint64_t, detail::Line> lines;
    std::vector<GpioWrite> writes;
    std::vector<LineChange> line_changes;
    std::function<void(const GpioWrite &)> write_sink;
    std::function<void(const LineChange &)> change_sink;

    // kernel services
    std::vector<TraceLine> trace;
    std::function<void(const TraceLine &)> sink;
    bool sink_text = true;                     // the sink reads each line's format and text
    std::optional<std::string> trace_formats;  // VIBRA_TRACE_FORMATS, read at the first line
    std::vector<ResolutionCall> resolution_calls;
    int outstanding_resolution = 0;
    // The threads inside a class-extension start, stop or teardown, while
    // Options::power_transitions makes those power transitions.
    std::vector<int> in_transition;
    ULONG held_resolution = 0;  // the finest asked for since requests were last all released
    vsim::SplitMix64 completion_choices{options.schedule.seed ^ 0xC0'3D'1E'75ULL};

    // faults, hooks, verifier
    uint64_t calls[size_t(Op::Count)] = {};
    uint64_t consultations[size_t(Op::Count)] = {};
    uint64_t faults_fired[size_t(Op::Count)] = {};
    std::vector<Op> call_log;
    std::vector<Op> consultation_log;
    std::vector<detail::Fault> faults;
    Ticks last_fault = -1;
    std::function<void(const FaultTaken &)> fault_sink;
    std::vector<detail::Hook> hooks;
    std::vector<std::string> failures;
    std::vector<detail::Watch> watches;
    std::vector<std::pair<int, WDFWAITLOCK>> held_locks;        // (thread, lock)
    std::set<std::pair<WDFWAITLOCK, WDFWAITLOCK>> lock_order;  // (held, then acquired)
    std::vector<std::string> races;

    // The real-threads mode's threads, platform mutex and clock; null in the
    // virtual mode. Declared last: its threads stop before anything else goes.
    std::unique_ptr<detail::RealPlatform> real;

    // --- verifier, calls and faults (faults.cpp) ---
    void fail(std::string message);
    // Reports a call made above the highest level the operation allows.
    void check_level(Op op);
    // Counts a call and runs the hooks due before it.
    void enter(Op op);
    void run_hooks(Op op, uint64_t number);  // those due before call `number` of `op`
    // The injected status for this consultation of `op`, or nothing. Inline:
    // every call consults, and almost always nothing is armed.
    std::optional<NTSTATUS> fault(Op op)
    {
        const uint64_t number = ++consultations[size_t(op)];
        if (options.log_consultations) {
            consultation_log.push_back(op);
        }
        return faults.empty() ? std::nullopt : armed_fault(op, number);
    }
    std::optional<NTSTATUS> armed_fault(Op op, uint64_t number);
    // enter() + fault() in one, for operations whose every call may fail.
    std::optional<NTSTATUS> begin(Op op)
    {
        enter(op);
        return fault(op);
    }
    bool require_framework(const char *function) { return framework_bound || framework_missing(function); }
    bool framework_missing(const char *function);  // reports it; false
    // A watched region changed since the last look: by the running thread.
    void check_watches();
    void check_lock_order(WDFWAITLOCK lock, int me);
    bool require_class_extension(const char *function);

    // --- objects (objects.cpp) ---
    // A handle is a tag, the slot's generation and its index plus 1: with
    // 64-bit pointers an 8-bit tag, 24 bits of generation and 32 of index;
    // with 32-bit pointers a 4-bit tag, 12 bits of generation and 16 of index
    // (at most 65,535 live objects). A forged value fails the tag or index
    // check; a stale one, the generation check, until the slot has been
    // reused as many times as the generation counts.
    static constexpr bool kWideHandles = sizeof(uintptr_t) >= 8;
    static constexpr int kTagShift = kWideHandles ? 56 : 28;
    static constexpr int kGenerationShift = kWideHandles ? 32 : 16;
    static constexpr uintptr_t kHandleTag = uintptr_t(kWideHandles ? 0xF1 : 0xF) << kTagShift;
    static constexpr uintptr_t kTagMask = uintptr_t(kWideHandles ? 0xFF : 0xF) << kTagShift;
    static constexpr uint32_t kGenerationMask = kWideHandles ? 0xFFFFFF : 0xFFF;
    static constexpr uint32_t kIndexMask = kWideHandles ? 0xFFFFFFFF : 0xFFFF;
    static_assert((kHandleTag & ~kTagMask) == 0 && (uintptr_t(kGenerationMask) << kGenerationShift) < kHandleTag &&
                  (uintptr_t(kGenerationMask) << kGenerationShift & kIndexMask) == 0);
    static WDFOBJECT handle_of(uint32_t index, uint32_t generation)
    {
        return reinterpret_cast<WDFOBJECT>(kHandleTag | (uintptr_t(generation & kGenerationMask) << kGenerationShift) |
                                           uintptr_t(index + 1));
    }
    // The slot index a handle names, if it has the tag; no bounds check.
    static std::optional<uint32_t> index_of(WDFOBJECT handle)
    {
        const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
        if ((value & kTagMask) != kHandleTag) {
            return std::nullopt;
        }
        return uint32_t(value & kIndexMask) - 1;
    }
    // The live object a handle names, or NULL; no report. Inline: every
    // platform call looks up a handle or two.
    detail::Object *find(WDFOBJECT handle)
    {
        const std::optional<uint32_t> index = index_of(handle);
        if (!index || *index >= objects.size()) {
            return nullptr;
        }
        detail::Object &object = objects[*index];
        return object.alive && handle_of(*index, object.generation) == handle ? &object : nullptr;
    }
    // Reports a null, invalid, stale or wrong-type handle; Count accepts any type.
    detail::Object *lookup(WDFOBJECT handle, ObjectType type, const char *function)
    {
        detail::Object *object = find(handle);
        if (object != nullptr && (type == ObjectType::Count || object->type == type)) {
            if (torn_down_devices != 0) {
                check_after_teardown(handle, object, function);
            }
            return object;
        }
        return report_handle(handle, type, function);
    }
    detail::Object *report_handle(WDFOBJECT handle, ObjectType type, const char *function);  // NULL
    template <class T>
    T *data(WDFOBJECT handle, ObjectType type, const char *function)
    {
        detail::Object *object = lookup(handle, type, function);
        return object ? &std::get<T>(object->data) : nullptr;
    }
    // Checks the attributes' size and parent; NULL parent means `default_parent`.
    bool attributes_ok(const WDF_OBJECT_ATTRIBUTES *attributes, const char *function, NTSTATUS *status);
    WDFOBJECT create(ObjectType type, WDFOBJECT parent, const WDF_OBJECT_ATTRIBUTES *attributes,
                     detail::Payload payload);
    void destroy(WDFOBJECT handle);  // children first, no checks
    bool has_device_ancestor(WDFOBJECT handle);
    // The torn-down device `handle` belongs to, if any (classext.cpp).
    const DeviceRecord *torn_down_owner(WDFOBJECT handle);
    // A framework call of the driver's naming an object of a torn-down
    // device is a finding, but for the requests (a completion still to come
    // deletes its own) and a timer's own context (a callback that fired
    // before teardown reaches it, and must stop there).
    void check_after_teardown(WDFOBJECT handle, const detail::Object *object, const char *function);
    int torn_down_devices = 0;
    bool refused_after_teardown(DeviceId id, const char *function);
    void end_teardown(DeviceId id);     // the driver's teardown of the device returned
    void release_context(DeviceId id);  // the device goes: the released context must be untouched
    WDFDEVICE device_of(WDFOBJECT handle);
    bool fired_after_teardown(WDFTIMER timer);  // reports it
    std::string describe(WDFOBJECT handle);

    // --- executor (executor.cpp) ---
    uint64_t schedule(Ticks due, detail::Event event);
    void cancel(Ticks due, uint64_t seq);
    void dispatch(const detail::Event &event);
    bool at_top_level(const char *function);
    // Runs `body` as a new simulated thread on the current carrier (it cannot
    // park: the caller cannot continue until it returns).
    void run_inline(KIRQL irql, const std::function<void()> &body);
    void run_callback(WDFTIMER timer);  // on the current simulated thread
    void run_events(Ticks until);       // dispatches the events due until then
    void advance(Ticks next);           // interleaved: lets the threads run before time moves
    int identity() { return real ? real_identity() : threads.current()->identity; }
    KIRQL irql() { return real ? real_irql() : threads.current()->irql; }
    int real_identity();  // realtime.cpp: per OS thread, with the platform mutex held
    KIRQL real_irql();    // realtime.cpp: per OS thread

    // A positive (absolute) due time or time-out, a system time, as virtual
    // time; a negative one is relative to now. Never before now.
    Ticks deadline_of(LONGLONG due) const;

    // --- timers (timers.cpp) ---
    // When a timer due at `asked` fires: then, or at the clock tick at or
    // after it (and not before now).
    Ticks fire_time(Ticks asked) const;
    Ticks clock_tick() const;
    // The clock tick changed: every pending timer moves to the new ticks.
    void retime_timers();

    // --- requests (requests.cpp) ---
    void complete(WDFREQUEST request);
    // Whether this send completes inside WdfRequestSend.
    bool completes_inside_send();
    // A request sent to `target` before the one sent `order`th is still in flight.
    bool earlier_in_flight(WDFIOTARGET target, uint64_t order);
    uint64_t sends = 0;
    void abandon(WDFREQUEST request);  // deleted while in flight
    // The device's targets are closing: every request in flight to one of them
    // is cancelled, its completion routine run with STATUS_CANCELLED, and the
    // line keeps its value. Returns when all of them have completed.
    void cancel_writes_to(WDFDEVICE device);
    // The request's write has ended: into the log when records are kept, and
    // to the sink.
    void write_ended(RequestData &request);
    void line_changed(LineChange change);

    // --- GPIO (gpio.cpp) ---
    void close_target(detail::TargetData &target);

    // --- class extension (classext.cpp) ---
    detail::DeviceRecord *device_record(DeviceId id, const char *function);
    NTSTATUS call_client(DeviceId id, const char *function, const std::function<NTSTATUS(void *)> &call);
    static bool is_power_transition(std::string_view function);
    void wait_for_power_transitions();
    void forget_device(WDFDEVICE device);
    void delete_driver_tree();

    // --- kernel (kernel.cpp) ---
    void record_trace(ULONG component, ULONG level, const char *format, va_list arguments);
};

}  // namespace vsim::detail

namespace vsim {

struct Simulator::Impl : detail::State {
    using detail::State::State;
};

// The simulator the platform's C functions act on.
detail::State *active();

}  // namespace vsim
