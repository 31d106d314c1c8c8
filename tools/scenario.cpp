#include "scenario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <sstream>

#include "status.h"

namespace vibra_tool {
namespace {

// A refusal of one line; parse_scenario adds "name:line: ".
struct LineError {
    std::string message;
};

[[noreturn]] void fail(std::string message) { throw LineError{std::move(message)}; }

// A word of the file as a message quotes it: cut to a readable length, so that
// a megabyte-long token does not come back whole.
std::string quote(std::string_view word)
{
    constexpr size_t kShown = 40;
    if (word.size() <= kShown) {
        return "'" + std::string(word) + "'";
    }
    return "'" + std::string(word.substr(0, kShown)) + "...' (" + std::to_string(word.size()) + " characters)";
}

constexpr Ticks kMaxTicks = std::numeric_limits<Ticks>::max();
constexpr uint32_t kRecordSize = 36;
constexpr uint32_t kOnePayload = 12 + kRecordSize;

struct CommandName {
    std::string_view name;
    CommandKind kind;
};

constexpr std::array kCommands = {
    CommandName{"setup", CommandKind::Setup},
    CommandName{"start", CommandKind::Start},
    CommandName{"stop", CommandKind::Stop},
    CommandName{"teardown", CommandKind::Teardown},
    CommandName{"info", CommandKind::Info},
    CommandName{"set-state", CommandKind::SetState},
    CommandName{"get-state", CommandKind::GetState},
    CommandName{"remove", CommandKind::Remove},
    CommandName{"unload", CommandKind::Unload},
    CommandName{"trace-mask", CommandKind::TraceMask},
    CommandName{"fault", CommandKind::Fault},
    CommandName{"lock-timeout", CommandKind::Fault},
    CommandName{"refuse-send", CommandKind::Fault},
    CommandName{"fail-completion", CommandKind::Fault},
    CommandName{"clear-faults", CommandKind::ClearFaults},
    CommandName{"check", CommandKind::Check},
    CommandName{"wait", CommandKind::Wait},
    CommandName{"end", CommandKind::End},
};

std::string command_list()
{
    std::string list;
    for (const CommandName &command : kCommands) {
        list += list.empty() ? "" : ", ";
        list += command.name;
    }
    return list;
}

bool is_device_command(CommandKind kind)
{
    switch (kind) {
    case CommandKind::Start:
    case CommandKind::Stop:
    case CommandKind::Teardown:
    case CommandKind::Info:
    case CommandKind::SetState:
    case CommandKind::GetState:
    case CommandKind::Remove:
    case CommandKind::Check:
        return true;
    default:
        return false;
    }
}

uint32_t parse_u32(std::string_view key, std::string_view text)
{
    int base = 10;
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() || value > 0xFFFFFFFFULL) {
        fail("bad number " + quote(text) + " for " + std::string(key) +
             "=; expected a decimal or 0x-prefixed hex number from 0 to 4294967295");
    }
    return static_cast<uint32_t>(value);
}

std::vector<uint8_t> parse_hex(std::string_view key, std::string_view text)
{
    std::string digits;
    for (char c : text) {
        if (c == '_') {
            continue;  // grouping, for readability
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            fail("bad hex " + quote(text) + " for " + std::string(key) + "=: " + quote(std::string(1, c)) +
                 " is not a hex digit; expected pairs of hex digits, e.g. 30000000");
        }
        digits += c;
    }
    if (digits.size() / 2 > kMaxBufferLength) {
        fail(std::to_string(digits.size() / 2) + " bytes of hex for " + std::string(key) +
             "= is too many; expected at most " + std::to_string(kMaxBufferLength) + " bytes");
    }
    if (digits.size() % 2 != 0) {
        fail("bad hex " + quote(text) + " for " + std::string(key) + "=: " + std::to_string(digits.size()) +
             " digits; expected pairs of hex digits, one pair a byte");
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

int32_t parse_status_arg(std::string_view key, std::string_view text)
{
    const std::optional<int32_t> status = parse_status(text);
    if (!status) {
        fail("bad status " + quote(text) + " for " + std::string(key) +
             "=; expected a name such as STATUS_SUCCESS or a value such as 0xC000000D");
    }
    return *status;
}

int parse_level_value(std::string_view key, std::string_view text)
{
    if (text != "0" && text != "1") {
        fail("bad line level " + quote(text) + " for " + std::string(key) + "=; expected 0 or 1");
    }
    return text == "1" ? 1 : 0;
}

// "12ms", "3.3ms", "250us", "2s"; a whole number of 100 ns ticks.
Ticks parse_time(std::string_view text)
{
    const std::string bad = "bad time " + quote(text) + "; expected a number with a unit ms, us or s, e.g. 10ms";
    Ticks unit = 0;
    std::string_view number = text;
    if (number.ends_with("ms")) {
        unit = vsim::kTicksPerMs;
        number.remove_suffix(2);
    } else if (number.ends_with("us")) {
        unit = vsim::kTicksPerUs;
        number.remove_suffix(2);
    } else if (number.ends_with("s")) {
        unit = vsim::kTicksPerSecond;
        number.remove_suffix(1);
    } else {
        fail(bad);
    }
    const size_t dot = number.find('.');
    const std::string_view whole = number.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : number.substr(dot + 1);
    if (whole.empty() || (dot != std::string_view::npos && fraction.empty()) || whole.size() > 12 ||
        fraction.size() > 7) {
        fail(bad);
    }
    const auto digits_only = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!digits_only(whole) || !digits_only(fraction)) {
        fail(bad);
    }
    while (fraction.size() > 1 && fraction.back() == '0') {
        fraction.remove_suffix(1);
    }
    Ticks ticks = 0;
    if (__builtin_mul_overflow(std::stoll(std::string(whole)), unit, &ticks)) {
        fail("time " + quote(text) + " is out of range; expected at most " + format_time(kMaxTicks));
    }
    Ticks scale = unit;
    for (char c : fraction) {
        if (scale % 10 != 0) {
            fail("time " + quote(text) + " is finer than 0.1 us; expected at most one decimal in us");
        }
        scale /= 10;
        if (__builtin_add_overflow(ticks, (c - '0') * scale, &ticks)) {
            fail("time " + quote(text) + " is out of range; expected at most " + format_time(kMaxTicks));
        }
    }
    return ticks;
}

// The tokens of one command after its time: bare words and key=value pairs.
class Arguments {
public:
    Arguments(const std::vector<std::string> &tokens, size_t first, std::string_view command)
        : command_(command)
    {
        for (size_t i = first; i < tokens.size(); ++i) {
            const std::string &token = tokens[i];
            const size_t equals = token.find('=');
            if (equals == std::string::npos) {
                words_.push_back(token);
                continue;
            }
            const std::string key = token.substr(0, equals);
            if (values_.count(key) != 0) {
                fail(quote(key + "=") + " given twice; expected each argument once");
            }
            values_[key] = token.substr(equals + 1);
        }
    }

    std::optional<std::string> take(const std::string &key)
    {
        const auto found = values_.find(key);
        if (found == values_.end()) {
            return std::nullopt;
        }
        std::string value = found->second;
        values_.erase(found);
        return value;
    }

    bool take_word(std::string_view word)
    {
        const auto found = std::find(words_.begin(), words_.end(), word);
        if (found == words_.end()) {
            return false;
        }
        words_.erase(found);
        return true;
    }

    std::optional<std::string> take_first_word()
    {
        if (words_.empty()) {
            return std::nullopt;
        }
        std::string word = words_.front();
        words_.erase(words_.begin());
        return word;
    }

    // Anything not taken is refused, with what this command accepts.
    void finish(std::string_view accepted) const
    {
        const std::string expected =
            accepted.empty() ? "expected no arguments" : "expected " + std::string(accepted);
        if (!words_.empty()) {
            fail("unexpected word " + quote(words_.front()) + " for " + std::string(command_) + "; " + expected);
        }
        if (!values_.empty()) {
            fail("unknown argument " + quote(values_.begin()->first + "=") + " for " + std::string(command_) + "; " + expected);
        }
    }

private:
    std::string_view command_;
    std::vector<std::string> words_;
    std::map<std::string, std::string> values_;
};

void put_u32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

void take_expectations(Arguments &args, Command &command)
{
    if (auto value = args.take("expect")) {
        command.expect_status = parse_status_arg("expect", *value);
    }
    if (auto value = args.take("expect-bytes")) {
        command.expect_bytes = parse_u32("expect-bytes", *value);
    }
}

std::optional<uint32_t> take_u32(Arguments &args, const std::string &key)
{
    if (auto value = args.take(key)) {
        return parse_u32(key, *value);
    }
    return std::nullopt;
}

// A buffer length the driver is handed; the player allocates it.
std::optional<uint32_t> take_length(Arguments &args, const std::string &key)
{
    const std::optional<uint32_t> length = take_u32(args, key);
    if (length && *length > kMaxBufferLength) {
        fail("buffer length " + std::to_string(*length) + " for " + key + "= is too large; expected at most " +
             std::to_string(kMaxBufferLength) + " bytes");
    }
    return length;
}

// set-state on | off | blink period= duty= cycles= | raw=HEX, with optional
// header and record overrides and a buffer length.
void parse_set_state(Arguments &args, Command &command)
{
    const std::string forms = "on, off, blink period=MS duty=PCT cycles=N, or raw=HEX";
    if (auto raw = args.take("raw")) {
        command.payload = parse_hex("raw", *raw);
    } else {
        const std::optional<std::string> form = args.take_first_word();
        if (!form) {
            fail("set-state needs a state; expected " + forms);
        }
        uint32_t state = 0;
        command.payload.assign(kOnePayload, 0);
        if (*form == "on") {
            state = 1;
        } else if (*form == "off") {
            state = 0;
        } else if (*form == "blink") {
            state = 2;
            const char *keys[] = {"period", "duty", "cycles"};
            for (int i = 0; i < 3; ++i) {
                const std::optional<uint32_t> value = take_u32(args, keys[i]);
                if (!value) {
                    fail(std::string("set-state blink needs ") + keys[i] + "=; expected period=MS duty=PCT cycles=N");
                }
                put_u32(command.payload, 12 + 8 + 4 * (1 + i), *value);
            }
        } else {
            fail("unknown state " + quote(*form) + " for set-state; expected " + forms);
        }
        // Header 48, 1, 1; record HwNId 0, HwNType 2 (the device's type).
        const std::pair<const char *, std::pair<size_t, uint32_t>> fields[] = {
            {"size", {0, kOnePayload}}, {"version", {4, 1}}, {"requests", {8, 1}},
            {"id", {12, 0}},            {"type", {16, 2}},   {"state", {44, state}},
        };
        for (const auto &[key, field] : fields) {
            put_u32(command.payload, field.first, take_u32(args, key).value_or(field.second));
        }
    }
    command.length = take_length(args, "length").value_or(static_cast<uint32_t>(command.payload.size()));
    take_expectations(args, command);
    args.finish(forms + ", size=, version=, requests=, id=, type=, state=, length=, expect=, expect-bytes=");
}

void parse_get_state(Arguments &args, Command &command)
{
    if (auto input = args.take("input")) {
        command.input = parse_hex("input", *input);
        command.input_length = static_cast<uint32_t>(command.input->size());
    }
    if (auto length = take_length(args, "input-length")) {
        if (!command.input) {
            fail("input-length= without input=; expected input=HEX with it");
        }
        command.input_length = *length;
    }
    command.output_length = take_length(args, "output-length").value_or(kOnePayload);
    command.same_buffer = args.take_word("same-buffer");
    if (command.same_buffer && !command.input) {
        fail("same-buffer without input=; expected input=HEX to share the buffer with the output");
    }
    take_expectations(args, command);
    if (auto output = args.take("expect-output")) {
        command.expect_output = parse_hex("expect-output", *output);
    }
    args.finish("input=HEX, input-length=N, output-length=N, same-buffer, expect=, expect-bytes=, expect-output=HEX");
}

void parse_trace_mask(Arguments &args, Command &command)
{
    if (args.take_word("open")) {
        for (int level = 1; level <= 5; ++level) {
            command.masks.emplace_back(level, 0xFFFFFFFFu);
        }
    } else if (args.take_word("initial")) {
        command.masks = {{1, 0xFFFFFFFFu}, {2, 0xFFFFFFFEu}, {3, 0xFFFFFFFEu}, {4, 0u}, {5, 0u}};
    } else {
        const std::optional<uint32_t> level = take_u32(args, "level");
        const std::optional<uint32_t> mask = take_u32(args, "mask");
        if (!level || !mask) {
            fail("trace-mask needs level= and mask=; expected level=1..5 mask=HEX, open or initial");
        }
        if (*level < 1 || *level > 5) {
            fail("bad level " + std::to_string(*level) + " for trace-mask; expected a level from 1 to 5");
        }
        command.masks.emplace_back(static_cast<int>(*level), *mask);
    }
    args.finish("level=1..5 mask=HEX, open or initial");
}

// fault OP status= nth=|every, and the three shorthands for common faults.
void parse_fault(Arguments &args, Command &command, std::string_view name)
{
    std::string accepted = "status=STATUS, nth=N or every";
    command.status = static_cast<int32_t>(0xC0000001);  // STATUS_UNSUCCESSFUL
    if (name == "fault") {
        const std::optional<std::string> op = args.take_first_word();
        if (!op) {
            fail("fault needs a platform operation; expected e.g. fault WdfRequestSend status=STATUS_UNSUCCESSFUL");
        }
        const std::optional<vsim::Op> found = vsim::op_from_name(*op);
        if (!found) {
            fail("unknown platform operation " + quote(*op) + "; expected a name such as WdfRequestCreate, "
                 "WdfTimerStart, WdfWaitLockAcquire, RequestCompletion");
        }
        command.op = *found;
        accepted = "an operation, " + accepted;
    } else if (name == "lock-timeout") {
        command.op = vsim::Op::WdfWaitLockAcquire;
        command.status = 0x00000102;  // STATUS_TIMEOUT
        accepted = "nth=N or every";
    } else if (name == "refuse-send") {
        command.op = vsim::Op::WdfRequestSend;
    } else {
        command.op = vsim::Op::RequestCompletion;
    }
    if (name != "lock-timeout") {
        if (auto status = args.take("status")) {
            command.status = parse_status_arg("status", *status);
        }
    }
    const bool every = args.take_word("every");
    const std::optional<uint32_t> nth = take_u32(args, "nth");
    if (every && nth) {
        fail("both nth= and every; expected one of them");
    }
    if (nth && *nth == 0) {
        fail("nth=0; expected 1 for the next call, 2 for the one after, ... or every");
    }
    command.nth = every ? 0 : nth.value_or(1);
    args.finish(accepted);
}

void parse_check(Arguments &args, Command &command)
{
    if (auto value = args.take("enable")) {
        command.enable = parse_level_value("enable", *value);
    }
    if (auto value = args.take("drive")) {
        command.drive = parse_level_value("drive", *value);
    }
    command.state = take_u32(args, "state");
    if (!command.enable && !command.drive && !command.state) {
        fail("check needs something to check; expected enable=0|1, drive=0|1 and/or state=N");
    }
    args.finish("enable=0|1, drive=0|1, state=N");
}

void parse_arguments(Arguments &args, Command &command, std::string_view name)
{
    switch (command.kind) {
    case CommandKind::SetState:
        parse_set_state(args, command);
        break;
    case CommandKind::GetState:
        parse_get_state(args, command);
        break;
    case CommandKind::TraceMask:
        parse_trace_mask(args, command);
        break;
    case CommandKind::Fault:
        parse_fault(args, command, name);
        break;
    case CommandKind::Check:
        parse_check(args, command);
        break;
    case CommandKind::Setup:
    case CommandKind::Start:
    case CommandKind::Stop:
    case CommandKind::Teardown:
    case CommandKind::Info:
        take_expectations(args, command);
        if (command.expect_bytes) {
            fail("expect-bytes= for " + std::string(name) + ", which passes no buffer; expected expect= only");
        }
        args.finish("expect=STATUS");
        break;
    default:
        if (args.take("expect") || args.take("expect-bytes")) {
            fail("expect= for " + std::string(name) + ", which returns no status; expected no arguments");
        }
        args.finish("");
        break;
    }
}

std::vector<std::string> split_words(std::string_view line)
{
    std::vector<std::string> tokens;
    std::istringstream stream{std::string(line)};
    std::string token;
    while (stream >> token) {
        tokens.push_back(token);
    }
    return tokens;
}

// Order rules that make a scenario playable from top to bottom.
class Sequence {
public:
    void admit(const Command &command, const std::string &name)
    {
        if (ended_) {
            fail("command after end; expected end to be the last command");
        }
        if (command.time < last_time_) {
            fail("time " + format_time(command.time) + " goes backwards; expected " + format_time(last_time_) +
                 " or later");
        }
        last_time_ = command.time;
        if (command.kind == CommandKind::Setup) {
            if (setup_seen_ || other_seen_) {
                fail("setup after other commands; expected setup once, after only trace-mask and fault commands at "
                     "0ms");
            }
            if (command.time != 0) {
                fail("setup at " + format_time(command.time) + "; expected setup at 0ms");
            }
            setup_seen_ = true;
        }
        const bool setup_option = command.time == 0 && (command.kind == CommandKind::TraceMask ||
                                                         command.kind == CommandKind::Fault ||
                                                         command.kind == CommandKind::ClearFaults);
        other_seen_ = other_seen_ || (!setup_option && command.kind != CommandKind::Setup);
        if (unloaded_ && (is_device_command(command.kind) || command.kind == CommandKind::Unload)) {
            fail(name + " after unload; expected no device command once the driver is unloaded");
        }
        if (removed_ && is_device_command(command.kind)) {
            fail(name + " after remove; expected only unload and non-device commands once the device is removed");
        }
        removed_ = removed_ || command.kind == CommandKind::Remove;
        unloaded_ = unloaded_ || command.kind == CommandKind::Unload;
        ended_ = command.kind == CommandKind::End;
    }

private:
    Ticks last_time_ = 0;
    bool setup_seen_ = false;
    bool other_seen_ = false;
    bool removed_ = false;
    bool unloaded_ = false;
    bool ended_ = false;
};

Command parse_line(std::string_view body, Ticks previous_time, int line)
{
    const std::vector<std::string> tokens = split_words(body);
    if (tokens.size() < 3 || tokens[0] != "at") {
        fail("expected 'at TIME COMMAND [ARGUMENTS]', e.g. 'at 10ms set-state on'");
    }
    Command command;
    command.line = line;
    std::string_view time = tokens[1];
    const bool relative = time.starts_with('+');
    const Ticks offset = parse_time(relative ? time.substr(1) : time);
    if (__builtin_add_overflow(offset, relative ? previous_time : 0, &command.time)) {
        fail("time " + quote(time) + " after " + format_time(previous_time) + " is out of range; expected at most " +
             format_time(kMaxTicks) + " in all");
    }
    // "at TIME & COMMAND": the call runs on a thread of its own.
    const size_t first = tokens[2] == "&" ? 3 : 2;
    command.concurrent = first == 3;
    if (first >= tokens.size()) {
        fail("expected a command after '&', e.g. 'at 10ms & set-state off'");
    }
    const auto found = std::find_if(kCommands.begin(), kCommands.end(),
                                    [&](const CommandName &entry) { return entry.name == tokens[first]; });
    if (found == kCommands.end()) {
        fail("unknown command " + quote(tokens[first]) + "; expected one of " + command_list());
    }
    command.kind = found->kind;
    if (command.concurrent && !runs_on_own_thread(command.kind)) {
        fail(quote(tokens[first]) +
             " cannot run on a thread of its own; '&' takes start, stop, info, set-state or get-state");
    }
    // The call as the report names it; expectations are shown by their outcome.
    for (size_t i = first; i < tokens.size(); ++i) {
        if (!tokens[i].starts_with("expect")) {
            command.text += (command.text.empty() ? "" : " ") + tokens[i];
        }
    }
    Arguments args(tokens, first + 1, found->name);
    parse_arguments(args, command, found->name);
    return command;
}

}  // namespace

bool runs_on_own_thread(CommandKind kind)
{
    switch (kind) {
    case CommandKind::Start:
    case CommandKind::Stop:
    case CommandKind::Info:
    case CommandKind::SetState:
    case CommandKind::GetState:
        return true;
    default:
        return false;
    }
}

bool Command::returns_status() const
{
    switch (kind) {
    case CommandKind::Setup:
    case CommandKind::Start:
    case CommandKind::Stop:
    case CommandKind::Teardown:
    case CommandKind::Info:
    case CommandKind::SetState:
    case CommandKind::GetState:
        return true;
    default:
        return false;
    }
}

std::string format_time(Ticks ticks)
{
    const Ticks whole = ticks / vsim::kTicksPerMs;
    Ticks fraction = ticks % vsim::kTicksPerMs;
    std::string text = std::to_string(whole);
    if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04lld", static_cast<long long>(fraction));
        std::string decimals = digits;
        decimals.erase(decimals.find_last_not_of('0') + 1);
        text += "." + decimals;
    }
    return text + "ms";
}

ParseResult parse_scenario(std::string_view text, const std::string &name)
{
    Scenario scenario;
    scenario.name = name;
    Sequence sequence;
    int line_number = 0;
    Ticks previous_time = 0;
    size_t position = 0;
    while (position <= text.size()) {
        const size_t end = std::min(text.find('\n', position), text.size());
        std::string_view line = text.substr(position, end - position);
        position = end + 1;
        ++line_number;
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r\v\f") == std::string_view::npos) {
            continue;
        }
        try {
            Command command = parse_line(line, previous_time, line_number);
            sequence.admit(command, command.text.substr(0, command.text.find(' ')));
            previous_time = command.time;
            scenario.commands.push_back(std::move(command));
        } catch (const LineError &error) {
            return ParseResult{std::nullopt, name + ":" + std::to_string(line_number) + ": " + error.message};
        }
    }
    return ParseResult{std::move(scenario), {}};
}

ParseResult load_scenario(const std::string &path)
{
    const auto refuse = [&](const std::string &why) {
        return ParseResult{std::nullopt, path + ": " + why};
    };
    // Opened first, then checked on the open descriptor, so that what is
    // checked is what is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return refuse(std::string("cannot read the scenario file (") + std::strerror(errno) +
                      "); expected a readable text file");
    }
    struct stat info {};
    std::string text;
    std::string why;
    if (::fstat(fd, &info) != 0) {
        why = std::string("cannot read the scenario file (") + std::strerror(errno) + ")";
    } else if (!S_ISREG(info.st_mode)) {
        why = std::string("not a regular file (") + (S_ISDIR(info.st_mode) ? "a directory" : "a device or pipe") +
              "); expected a readable text file";
    } else if (static_cast<uint64_t>(info.st_size) > kMaxScenarioBytes) {
        why = "scenario file of " + std::to_string(info.st_size) + " bytes is too large; expected at most " +
              std::to_string(kMaxScenarioBytes) + " bytes (16 MiB)";
    } else {
        // Read at most one byte past the limit: a file that grows while it is
        // read is refused too.
        text.resize(kMaxScenarioBytes + 1);
        size_t used = 0;
        while (used < text.size()) {
            const ssize_t got = ::read(fd, text.data() + used, text.size() - used);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                why = std::string("cannot read the scenario file (") + std::strerror(errno) + ")";
                break;
            }
            if (got == 0) {
                break;
            }
            used += static_cast<size_t>(got);
        }
        text.resize(used);
        if (why.empty() && used > kMaxScenarioBytes) {
            why = "scenario file is too large; expected at most " + std::to_string(kMaxScenarioBytes) +
                  " bytes (16 MiB)";
        }
    }
    ::close(fd);
    if (!why.empty()) {
        return refuse(why);
    }
    return parse_scenario(text, path);
}

}  // namespace vibra_tool
