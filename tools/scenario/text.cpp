// SPDX-License-Identifier: MIT
// A scenario's text: its lines, its repeat blocks, and every refused line
// reported at once.
#include <algorithm>

#include "scenario/parse.h"

namespace vibra_tool {
namespace {

// "repeat N every=TIME" ... "end-repeat": the body's times are relative to
// each repetition's start.
struct Block {
    int line = 0;
    bool usable = true;  // the header and every body line were read
    Ticks start = 0;
    uint32_t count = 0;
    Ticks every = 0;
    Ticks previous = 0;  // the body's last time, for its relative times
    Ticks last_action = 0;
    std::vector<Command> body;
};

class Reader {
public:
    explicit Reader(const std::string &name) { scenario_.name = name; }

    void line(std::string_view body, int number)
    {
        const std::vector<std::string> words = split_words(body);
        const bool timed_repeat = words.size() >= 3 && words[0] == "at" && words[2] == "repeat";
        try {
            if (timed_repeat || words[0] == "repeat") {
                open_block(words, timed_repeat ? 3 : 1, number);
            } else if (words.size() >= 3 && words[0] == "at" && words[2] == "end-repeat") {
                close_block();  // as meant, so that the block is not left open
                fail("end-repeat with a time; expected end-repeat alone on its line");
            } else if (words[0] == "end-repeat") {
                if (words.size() > 1) {
                    fail("unexpected word " + quote(words[1]) + " after end-repeat; expected end-repeat alone");
                }
                close_block();
            } else {
                command(body, number);
            }
        } catch (const LineError &error) {
            refuse(number, error.message);
        }
    }

    // After kMaxShownErrors errors the rest of the file is not read: a huge
    // file of bad lines is refused as quickly as a short one.
    bool full() const { return error_count_ >= kMaxShownErrors; }
    void stop(int number) { stopped_at_ = number; }

    ParseResult finish()
    {
        if (block_ && !stopped_at_) {
            refuse(block_->line, "repeat without end-repeat; expected end-repeat after its body");
        }
        if (errors_.empty()) {
            return ParseResult{std::move(scenario_), {}, 0, {}};
        }
        sort_errors();
        ParseResult result;
        result.error_count = error_count_;
        for (size_t i = 0; i < errors_.size() && i < kMaxShownErrors; ++i) {
            result.errors.push_back(scenario_.name + ":" + std::to_string(errors_[i].first) + ": " + errors_[i].second);
            result.error += (i == 0 ? "" : "\n") + result.errors.back();
        }
        if (error_count_ > 1) {
            result.error += "\n" + scenario_.name + ": " + std::to_string(error_count_) + " errors";
            if (stopped_at_) {
                result.error += " (reading stopped at line " + std::to_string(stopped_at_) + ")";
            }
        }
        return result;
    }

private:
    // Only the first kMaxShownErrors by line are kept, so that a huge file of
    // bad lines does not make a huge list.
    void refuse(int number, std::string message)
    {
        ++error_count_;
        errors_.emplace_back(number, std::move(message));
        if (errors_.size() >= 2 * kMaxShownErrors) {
            sort_errors();
            errors_.resize(kMaxShownErrors);
        }
    }

    void sort_errors()
    {
        std::stable_sort(errors_.begin(), errors_.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
    }

    void command(std::string_view body, int number)
    {
        Command command;
        LineProgress progress;
        try {
            parse_line(body, block_ ? block_->previous : previous_, block_ ? block_->last_action : last_action_,
                       number, command, progress);
        } catch (const LineError &) {
            // What could be read keeps the order checks going, so that one
            // bad line does not make the next ones wrong too.
            if (block_) {
                block_->usable = false;
                block_->previous = progress.time_known ? command.time : block_->previous;
            } else if (progress.time_known && progress.kind_known) {
                admit_quietly(command);
            } else {
                sequence_.skip(progress.time_known ? std::optional<Ticks>(command.time) : std::nullopt);
                previous_ = progress.time_known ? command.time : previous_;
            }
            throw;
        }
        if (block_) {
            block_->previous = command.time;
            block_->last_action = Sequence::acts(command.kind) ? command.time : block_->last_action;
            if (command.time > block_->every) {
                block_->usable = false;
                fail("time " + format_time(command.time) + " in a repeat every=" + format_time(block_->every) +
                     "; expected the body's times from 0ms to " + format_time(block_->every) +
                     ", relative to each repetition's start");
            }
            block_->body.push_back(std::move(command));
            return;
        }
        previous_ = command.time;
        last_action_ = Sequence::acts(command.kind) ? command.time : last_action_;
        sequence_.admit(command, command.text.substr(0, command.text.find(' ')));
        add(std::move(command));
    }

    void admit_quietly(const Command &command)
    {
        previous_ = command.time;
        try {
            sequence_.admit(command, command.text.substr(0, command.text.find(' ')));
        } catch (const LineError &) {
        }
    }

    void add(Command command)
    {
        if (scenario_.commands.size() >= kMaxCommands) {
            fail("more than " + std::to_string(kMaxCommands) +
                 " commands; expected at most that many in a scenario, repeat blocks expanded");
        }
        scenario_.commands.push_back(std::move(command));
    }

    void open_block(const std::vector<std::string> &words, size_t first, int number)
    {
        if (block_) {
            block_->usable = false;
            ++nested_;  // its end-repeat is not the outer block's
            fail("repeat inside a repeat; expected end-repeat before the next repeat");
        }
        block_.emplace();
        block_->line = number;
        block_->usable = false;  // until the header is read
        Ticks start = previous_;
        if (first == 3) {
            const std::string_view time = words[1];
            const bool relative = time.starts_with('+');
            if (__builtin_add_overflow(parse_time(relative ? time.substr(1) : time), relative ? previous_ : 0,
                                       &start)) {
                fail("time " + quote(time) + " after " + format_time(previous_) + " is out of range");
            }
        }
        const std::string accepted = "N every=TIME, e.g. repeat 1000 every=10s";
        Arguments args(words, first, "repeat");
        const std::optional<std::string> count = args.take_first_word();
        const std::optional<std::string> every = args.take_needed("every", accepted);
        args.finish(accepted);
        if (!count || !every) {
            fail("repeat needs a count and every=; expected " + accepted);
        }
        block_->count = parse_u32("the count of repeat", *count);
        block_->every = parse_time(*every);
        if (block_->count == 0 || block_->every == 0) {
            fail("repeat " + *count + " every=" + *every + "; expected a count of 1 or more and every= above 0ms");
        }
        block_->start = start;
        block_->usable = true;
    }

    void close_block()
    {
        if (nested_ > 0) {
            --nested_;
            return;
        }
        if (!block_) {
            fail("end-repeat without repeat; expected repeat N every=TIME before it");
        }
        Block block = std::move(*block_);
        block_.reset();
        Ticks end = 0;
        const bool end_known = !__builtin_mul_overflow(static_cast<Ticks>(block.count), block.every, &end) &&
                               !__builtin_add_overflow(end, block.start, &end);
        if (!block.usable) {
            sequence_.skip(std::nullopt);
            previous_ = end_known ? end : previous_;
            return;
        }
        if (block.body.empty()) {
            refuse(block.line, "repeat without commands; expected at least one command before end-repeat");
            return;
        }
        if (!end_known) {
            sequence_.skip(std::nullopt);
            refuse(block.line, "repeat ends past " + format_time(kMaxTicks) + "; expected a shorter repeat");
            return;
        }
        if (block.count > (kMaxCommands - scenario_.commands.size()) / block.body.size()) {
            sequence_.skip(std::nullopt);
            previous_ = end;
            refuse(block.line, "repeat " + std::to_string(block.count) + " of " + std::to_string(block.body.size()) +
                                   " commands makes more than " + std::to_string(kMaxCommands) +
                                   " commands; expected at most that many in a scenario, repeat blocks expanded");
            return;
        }
        expand(block);
        previous_ = end;
        for (auto it = scenario_.commands.rbegin(); it != scenario_.commands.rend(); ++it) {
            if (Sequence::acts(it->kind)) {
                last_action_ = std::max(last_action_, it->time);
                break;
            }
        }
    }

    void expand(const Block &block)
    {
        scenario_.commands.reserve(scenario_.commands.size() + block.count * block.body.size());
        for (uint32_t repetition = 0; repetition < block.count; ++repetition) {
            const Ticks shift = block.start + repetition * block.every;
            for (const Command &model : block.body) {
                Command command = model;
                command.time += shift;
                command.repetition = static_cast<int>(repetition + 1);
                if (command.interval) {
                    command.interval->from += shift;
                    command.interval->to += shift;
                }
                try {
                    sequence_.admit(command, command.text.substr(0, command.text.find(' ')));
                } catch (const LineError &error) {
                    sequence_.skip(std::nullopt);
                    refuse(command.line, error.message + " (in repetition " + std::to_string(repetition + 1) +
                                             " of the repeat at line " + std::to_string(block.line) + ")");
                    return;
                }
                scenario_.commands.push_back(std::move(command));
            }
        }
    }

    Scenario scenario_;
    Sequence sequence_;
    std::vector<std::pair<int, std::string>> errors_;
    size_t error_count_ = 0;
    int stopped_at_ = 0;
    Ticks previous_ = 0;
    Ticks last_action_ = 0;
    std::optional<Block> block_;
    int nested_ = 0;  // refused repeat lines inside block_ still open
};

}  // namespace

bool plays_something(const Scenario &scenario)
{
    return std::any_of(scenario.commands.begin(), scenario.commands.end(), [](const Command &command) {
        switch (command.kind) {
        case CommandKind::TraceMask:
        case CommandKind::Fault:
        case CommandKind::ClearFaults:
        case CommandKind::Wait:
        case CommandKind::End:
            return false;
        default:
            return true;
        }
    });
}

ParseResult parse_scenario(std::string_view text, const std::string &name)
{
    // A UTF-8 byte-order mark, as some editors write, is not part of the text.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    Reader reader(name);
    int number = 0;
    size_t position = 0;
    while (position <= text.size()) {
        const size_t end = std::min(text.find('\n', position), text.size());
        std::string_view line = text.substr(position, end - position);
        position = end + 1;
        ++number;
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r\v\f") == std::string_view::npos) {
            continue;
        }
        reader.line(line, number);
        if (reader.full()) {
            reader.stop(number);
            break;
        }
    }
    return reader.finish();
}

}  // namespace vibra_tool
