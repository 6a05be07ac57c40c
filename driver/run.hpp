// The run: a plan (driver/plan.hpp), then each of its dumps by the same
// steps (driver/dump_steps.hpp), the series file completed at the end
// however the run ends.
#pragma once

#include <istream>
#include <string>

#include "base/trace.hpp"
#include "driver/plan.hpp"

namespace pg {

// Runs a plan, writing the trace to `trace`: returns the exit status (a
// signal that stopped the run ends the process by that signal, once the
// files are finished). Standard output is flushed.
int run_plan(const RunPlan& plan, Trace& trace);

// The whole run on the dialogue's input: the answers, then the dumps.
int phasegrid_main(std::istream& in, Trace& trace, const RunOptions& options = {},
                   const std::string& output_dir = ".");

}  // namespace pg
