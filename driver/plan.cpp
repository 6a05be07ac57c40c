#include "driver/plan.hpp"

#include <cstdlib>
#include <string_view>

#include <sys/stat.h>

#include "base/system.hpp"
#include "format/tags.hpp"

namespace pg {

namespace {

std::string trim_right(std::string_view s) { return std::string(dumpformat::trim_blanks(s)); }

bool set_to_one(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && std::string_view(v) == "1";
}

}  // namespace

DumpJob dump_job(const std::string& path, const std::string& name, const std::string& output_dir) {
  DumpJob job;
  job.path = job.label = path;
  job.grid_name = "QG" + name + "01";
  const std::string dir = output_dir == "." ? "" : output_dir + "/";
  job.grid_path = dir + job.grid_name;
  job.index_path = dir + "IP" + trim_right(name);
  return job;
}

std::vector<DumpJob> dialogue_jobs(const Answers& a, const std::string& output_dir) {
  std::vector<DumpJob> jobs;
  for (const std::string& name : a.dump_name) jobs.push_back(dump_job(trim_right(name), name, output_dir));
  return jobs;
}

// Each dump's file as the run finds it before reading it.
void look_at_dumps(std::vector<DumpJob>& jobs) {
  for (DumpJob& job : jobs) {
    if (const auto real = real_path(job.path)) job.real_path = *real;
    const auto st = file_status(job.path);
    if (st && S_ISREG(st->st_mode)) {
      job.size = st->st_size;
      job.mtime = std::int64_t{st->st_mtim.tv_sec} * 1'000'000'000 + st->st_mtim.tv_nsec;
    }
  }
}

RunOptions options_from_environment() {
  RunOptions o;
  o.read_all = set_to_one("PHASEGRID_READ_ALL");
  o.timing = set_to_one("PHASEGRID_TIMING");
  return o;
}

RunPlan dialogue_plan(std::istream& in, Trace& trace, const RunOptions& options,
                      const std::string& output_dir) {
  FreeFormatInput input(in);
  RunPlan plan;
  plan.answers = ask_questions(input, trace);
  plan.jobs = dialogue_jobs(plan.answers, output_dir);
  plan.options = options;
  return plan;
}

Wanted wanted_for_run(char centre_mode) {
  Wanted w = Wanted::nothing_optional();
  w.identifiers = true;
  w.densities = true;
  w.dust_temperature = true;
  w.left_in_file = true;
  switch (centre_mode) {
    case 'm': case 's': case 'x': w.positions = w.masses = true; break;
    case 'd': w.positions = w.smoothing = true; break;
    case 'p': w.positions = true; break;
    default: break;
  }
  return w;
}

}  // namespace pg
