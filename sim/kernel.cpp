// SPDX-License-Identifier: MIT
// Kernel services: the debug print (with the trace-format coverage file), the
// system timer resolution, the current IRQL and assertions.
#include "internal.h"
#include "platform_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <set>

namespace {
constexpr ULONG kDefaultResolution = 156250;  // 15.625 ms, the system's resting resolution

// The format as C source would spell it.
std::string escaped(const char *format)
{
    std::string text;
    for (const char *p = format; *p; ++p) {
        switch (*p) {
        case '\n': text += "\\n"; break;
        case '\r': text += "\\r"; break;
        case '\t': text += "\\t"; break;
        case '\\': text += "\\\\"; break;
        case '"': text += "\\\""; break;
        default: text += *p; break;
        }
    }
    return text;
}

// Appends each format the process has not seen before to the file named by
// VIBRA_TRACE_FORMATS, one per line, so that a test run can tell which trace
// lines it exercised. Several test processes may append at once: each line
// goes out in one write to a file opened for appending. Each simulator reads
// the variable once, at its first line (`path` is then empty when unset).
void note_format(const std::string &path, const char *format)
{
    static std::mutex mutex;
    static std::set<std::string> seen;
    if (path.empty()) {
        return;
    }
    std::lock_guard guard(mutex);
    // Formats that earlier test processes wrote are not written again.
    static bool loaded = false;
    if (!loaded) {
        loaded = true;
        std::ifstream existing(path);
        for (std::string known; std::getline(existing, known);) {
            seen.insert(known);
        }
    }
    if (!seen.insert(escaped(format)).second) {
        return;
    }
    const std::string line = escaped(format) + "\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        (void)!::write(fd, line.data(), line.size());
        ::close(fd);
    }
}
}  // namespace

namespace vsim {

void detail::State::record_trace(ULONG component, ULONG level, const char *format, va_list arguments)
{
    if (!trace_formats) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): read once under the platform lock; nothing sets the environment
        const char *path = std::getenv("VIBRA_TRACE_FORMATS");
        trace_formats = path ? path : "";
    }
    note_format(*trace_formats, format);
    if (!options.keep_records && !options.echo_trace && !sink_text) {
        // Nobody reads the text: the sink counts the line.
        if (sink) {
            sink(TraceLine{now, component, level, {}, {}});
        }
        return;
    }
    // One formatting pass for the usual short line; a longer one is formatted
    // again at its full length.
    char buffer[256];
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, copy);
    va_end(copy);
    std::string text;
    if (size_t(std::max(length, 0)) < sizeof buffer) {
        text.assign(buffer, size_t(std::max(length, 0)));
    } else {
        text.resize(size_t(length));
        va_copy(copy, arguments);
        std::vsnprintf(text.data(), text.size() + 1, format, copy);
        va_end(copy);
    }
    TraceLine made{now, component, level, format, std::move(text)};
    const TraceLine *kept = &made;
    if (options.keep_records) {
        trace.push_back(std::move(made));
        kept = &trace.back();
    }
    const TraceLine &line = *kept;
    if (options.echo_trace) {
        std::fprintf(stderr, "[%10.4f ms] %s", double(line.time) / kTicksPerMs, line.text.c_str());
        if (line.text.empty() || line.text.back() != '\n') {
            std::fputc('\n', stderr);
        }
    }
    if (sink) {
        sink(sink_text ? line : TraceLine{line.time, component, level, {}, {}});
    }
}

const std::vector<TraceLine> &Simulator::trace() const { return impl_->trace; }
void Simulator::clear_trace() { impl_->trace.clear(); }
void Simulator::set_trace_sink(std::function<void(const TraceLine &)> sink, bool text)
{
    impl_->sink = std::move(sink);
    impl_->sink_text = text;
}
const std::vector<ResolutionCall> &Simulator::resolution_calls() const { return impl_->resolution_calls; }
int Simulator::outstanding_resolution_requests() const { return impl_->outstanding_resolution; }
KIRQL Simulator::irql() const { return impl_->irql(); }

}  // namespace vsim

EXTERN_C ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, va_list arglist)
{
    auto *sim = vsim::active();
    if (sim == nullptr || Format == nullptr) {
        return ULONG(STATUS_INVALID_PARAMETER);
    }
    vsim::detail::PlatformCall call(sim);
    if (auto status = sim->begin(vsim::Op::vDbgPrintEx)) {
        return ULONG(*status);
    }
    sim->record_trace(ComponentId, Level, Format, arglist);
    return STATUS_SUCCESS;
}

EXTERN_C ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution)
{
    auto *sim = vsim::active();
    if (sim == nullptr) {
        return kDefaultResolution;
    }
    vsim::detail::PlatformCall call(sim);
    if (sim->begin(vsim::Op::ExSetTimerResolution)) {
        return kDefaultResolution;
    }
    if (sim->options.power_transitions && !sim->real) {
        sim->wait_for_power_transitions();
    }
    if (sim->options.keep_records) {
        sim->resolution_calls.push_back({sim->now, DesiredTime, SetResolution != FALSE});
    }
    // The kernel keeps the finest resolution asked for until every request
    // has been released.
    if (SetResolution) {
        sim->held_resolution =
            sim->outstanding_resolution > 0 ? std::min(sim->held_resolution, DesiredTime) : DesiredTime;
    }
    sim->outstanding_resolution += SetResolution ? 1 : -1;
    sim->retime_timers();
    return SetResolution ? DesiredTime : kDefaultResolution;
}

EXTERN_C KIRQL KeGetCurrentIrql(VOID)
{
    auto *sim = vsim::active();
    return sim ? sim->irql() : KIRQL(PASSIVE_LEVEL);
}

EXTERN_C VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage)
{
    const char *assertion = static_cast<const char *>(VoidFailedAssertion);
    const char *message = MutableMessage ? MutableMessage : "";
    std::string text;
    if (assertion && std::strstr(assertion, "KeGetCurrentIrql() <= APC_LEVEL")) {
        text = std::string("pageable code at raised IRQL: ") + message;
    } else {
        text = std::string("assertion failed: ") + (assertion ? assertion : "?") + " (" + message + ") at " +
               (VoidFileName ? static_cast<const char *>(VoidFileName) : "?") + ":" + std::to_string(LineNumber);
    }
    if (auto *sim = vsim::active()) {
        vsim::detail::PlatformCall call(sim);
        sim->fail(text);
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
}
