// SPDX-License-Identifier: MIT
// vibra-sim's output files: opened before the run, so that a bad path stops it
// before it starts, and written as the run goes.
#pragma once

#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "player/player.h"
#include "outputs/waveforms.h"

namespace vibra_tool {

struct Outputs {
    std::string events, vcd, svg, trace;
    SvgWindow svg_window;
};

// A file for writing with a 256 KB buffer, its directories made first, or
// null with *error giving the system's reason.
std::unique_ptr<std::ofstream> open_output(const std::string &path, std::string &error);

// Flushes and closes an output; false with *error giving the system's reason
// (a full disk, say) when not all of it was written.
bool close_output(std::ofstream &file, const std::string &path, std::string &error);

// The waveform files: the events and the VCD row by row, the SVG from a
// bounded picture once the run is over.
class Streams {
public:
    // Opens the files named in `paths` and hooks them to the player's
    // callbacks; the player then keeps no records.
    bool open(const Outputs &paths, const Scenario &scenario, const std::string &version, PlayerOptions &options,
              std::string &error);
    bool finish(const Recording &recording, std::string &error);

private:
    std::ostream &rescale_vcd();

    Outputs paths_;
    std::unique_ptr<std::ofstream> events_, vcd_file_, svg_;
    std::optional<VcdWriter> vcd_;
    SvgPicture picture_;
};

}  // namespace vibra_tool
