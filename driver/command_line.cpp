#include "driver/command_line.hpp"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <fmt/ranges.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <new>
#include <sstream>
#include <string_view>
#include <vector>

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/printable.hpp"
#include "base/system.hpp"
#include "driver/dialogue.hpp"
#include "series/output_guard.hpp"
#include "driver/run.hpp"
#include "driver/run_report.hpp"
#include "format/layout.hpp"
#include "analysis/diagram.hpp"

#ifndef PHASEGRID_VERSION
#define PHASEGRID_VERSION "unknown"
#endif

namespace {

constexpr std::string_view usage =
    "Usage: phasegrid [OPTIONS] DUMP...\n"
    "  or:  phasegrid [-k] [-q] [-o DIR] [--h5 FILE [--append | --replace]\n"
    "                 [--series-only]] < ANSWERS\n"
    "  or:  phasegrid -h | --help | --version\n"
    "\n"
    "Reads SPH dump files and writes, for each, a grid of particle counts over\n"
    "log10 number density and log10 dust temperature.\n"
    "\n"
    "With DUMPs named on the command line, the options give the answers:\n"
    "  -c, --centre C        n (none, the default), m (centre of mass), d\n"
    "                        (density peak), p (a position), s (the most massive\n"
    "                        sink), x (a sink by number)\n"
    "  --position X Y Z      the position, with -c p\n"
    "  --sink N              the sink number, with -c x\n"
    "  -r, --rotate R        the rotating frame: 0 (none, the default), 1, 2 or 3\n"
    "  -f, --frequency F     the rotation frequency (per second), with -r 1, 2, 3\n"
    "A dump is any path. One that cannot be read, or that is not a dump (it does\n"
    "not start with a dump's identification record), stops the run before any\n"
    "dump is read; with -k it is skipped.\n"
    "\n"
    "With no DUMP, the answers are read from standard input, one a line:\n"
    "  1.                    the number of dumps, N\n"
    "  2.                    N lines: each dump's file name (at most 7\n"
    "                        characters)\n"
    "  3.                    the centring: m, d, p (a line X Y Z follows), s, x\n"
    "                        (a line with the sink number follows), or anything\n"
    "                        else for none\n"
    "  4.                    the rotating frame: 0 (none), 1, 2 or 3; with 1 to 3,\n"
    "                        a line with the rotation frequency (per second)\n"
    "                        follows\n"
    "\n"
    "For example: phasegrid -c m full001   or\n"
    "             printf '1\\nfull001\\nm\\n0\\n' | phasegrid\n"
    "\n"
    "Both ways:\n"
    "  -o, --output-dir DIR  where the grid and index files are written (default\n"
    "                        ., created if missing)\n"
    "  -k, --keep-going      a damaged dump ends that dump only: the run goes on\n"
    "  -q, --quiet           nothing on standard output, and no progress line on\n"
    "                        a terminal (standard error keeps its lines)\n"
    "  --h5 FILE             also write the whole run into one series file\n"
    "                        (netCDF-4/HDF5: exact counts, axes, times, units and\n"
    "                        what became of each dump), which h5py, xarray and\n"
    "                        ncdump read: a new file, or one a run wrote before\n"
    "  --append              with --h5: add the run's dumps to the series file;\n"
    "                        a dump it holds complete and unchanged is not read\n"
    "                        again, one it holds otherwise is read again and its\n"
    "                        row replaced; rows in time order. The answers must\n"
    "                        be those the series was made with\n"
    "  --replace             with --h5: replace the series file even when it holds\n"
    "                        dumps the run does not name (refused without it)\n"
    "  --series-only         with --h5: write the series file alone, no grid or\n"
    "                        index files\n"
    "  --diagram SPEC        with --h5 and DUMPs: also bin each dump into a\n"
    "                        diagram of any two quantities, weighted, in the\n"
    "                        series file (repeatable). SPEC is AXIS,AXIS[,WEIGHT]:\n"
    "                        AXIS is NAME[:log|:lin][:MIN:MAX:BINS] (MIN and MAX\n"
    "                        decimal logarithms on a log axis), WEIGHT is count\n"
    "                        (the default), mass (grams), NAME (the sum) or\n"
    "                        mean:NAME (the mean by mass). For example:\n"
    "                        --diagram n,H2Frac,mass  --diagram n,r:log:-4:1:250\n"
    "  --quantities          list the quantities a diagram may bin, with their\n"
    "                        units and default axes\n"
    "  -h, --help            this text\n"
    "  --version             the version\n"
    "\n"
    "Writes QG<name>01 (the grid) and IP<name> (time, time in free-fall units,\n"
    "grid file name) for each dump, <name> the last part of its path,\n"
    "blank-padded to 7 characters in the grid's name when shorter. Exit status:\n"
    "0 every dump read completely; 1 a damaged dump stopped the run (or, with\n"
    "-k, a dump), a dump ended early, was not a dump or was skipped; 2 a bad\n"
    "answer or option, an output file that could not be written, or too little\n"
    "memory for a dump.\n";

}  // namespace

namespace {

// What --quantities prints: a line for each quantity.
std::string quantities_text() {
  std::string text =
      "What a --diagram axis or weight may name. \"carried\": which dumps carry it (every dump; one with the\n"
      "dust arrays; with the radiative group; with the chemistry). A dump that lacks one leaves the diagram\n"
      "empty, its status lacks_quantity. Positions and velocities are turned and centred as the run is asked.\n"
      "Default axis: log (MIN, MAX decimal logarithms) or lin, MIN:MAX:BINS.\n\n";
  text += fmt::format("{:<16} {:<44} {:<6} {:<10} {:<26} {}\n", "name", "what", "units", "carried", "default axis",
                      "how it is found");
  for (const pg::QuantityInfo& q : pg::quantities()) {
    static constexpr const char* carried[] = {"always", "dust", "radiation", "chemistry"};
    text += fmt::format("{:<16} {:<44} {:<6} {:<10} {:<26} {}\n", q.name, q.long_name,
                        q.units.empty() ? "-" : q.units, carried[static_cast<int>(q.carried)],
                        fmt::format("{}:{}:{}:{}", q.axis.log ? "log" : "lin", q.axis.lo, q.axis.hi, q.axis.bins),
                        q.formula);
  }
  text += "\nWeights: count (particles), mass (grams: m by the dump's mass unit), NAME (the sum of a quantity),\n"
          "mean:NAME (the mean of a quantity by mass: sum of m NAME over sum of m).\n";
  return text;
}

[[noreturn]] void usage_error(const std::string& why) { throw pg::Error(pg::FaultKind::bad_answer, why); }

// An option's value as the dialogue reads its answer: one word, a number.
std::string one_word(const std::string& value, const std::string& what) {
  if (value.find_first_of(" ,\t\r\n") != std::string::npos)
    usage_error(fmt::format("{} takes one number per word, read \"{}\"", what, value));
  return value + "\n";
}

// An option's values are read as the dialogue reads its answers, so that
// both ways give the same numbers.
std::vector<double> reals_of(const std::vector<std::string>& values, const std::string& what) {
  std::vector<double> out;
  for (const std::string& value : values) {
    std::istringstream text(one_word(value, what));
    pg::FreeFormatInput in(text);
    out.push_back(in.reals(1, what)[0]);
  }
  return out;
}

// A dump's output names: the dialogue's for a last path component of at
// most 7 characters, the whole component otherwise.
pg::DumpJob job_for(const std::string& path, const std::string& output_dir) {
  const std::string component = std::filesystem::path(path).filename().string();
  return pg::dump_job(path, component.size() <= 7 ? pg::dump_name_of(component) : component, output_dir);
}

// 0 when `path` may be read and is not a folder, else the error. Looked at,
// not opened: a dump is opened once (a named pipe's writer sees one reader).
int readability(const std::string& path) {
  const auto st = pg::file_status(path);
  if (!st) return st.error();
  if (S_ISDIR(st->st_mode)) return EISDIR;
  return ::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// Whether the regular file at `path` does not start as a dump does. Other
// files (a named pipe) are read once, by the run, and judged there.
bool not_a_dump(const std::string& path) {
  const auto st = pg::file_status(path);
  if (!st || !S_ISREG(st->st_mode)) return false;
  const auto head = pg::file_start(path, pg::dumpformat::dump_start_bytes);
  if (!head) return false;  // (the run says why it cannot be opened)
  return !pg::dumpformat::starts_like_a_dump(reinterpret_cast<const unsigned char*>(head->data()), head->size());
}

// Creates `dir` (and its parents) when missing.
void make_folder(const std::string& dir, const char* what) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) usage_error(fmt::format("cannot create {} \"{}\": {}", what, dir, ec.message()));
}

struct Options {
  std::vector<std::string> dumps;
  std::string centre = "n";
  std::vector<std::string> position;
  std::string sink;
  int rotate = 0;
  std::string frequency;
  std::string output_dir = ".";
  std::string series;
  std::vector<std::string> diagrams;
  bool quantities = false;
  bool keep_going = false, quiet = false, series_only = false, append = false, replace = false, help = false,
       version = false;
};

int run_command_line(const Options& o, CLI::App& app) {
  const bool dialogue = o.dumps.empty();
  auto given = [&](const char* name) { return app.get_option(name)->count() > 0; };
  // (An empty name, a variable left unset, would silently write no series.)
  if (given("--h5") && o.series.empty()) usage_error("--h5 needs a FILE name; it was given an empty one");
  if (o.series_only && o.series.empty()) usage_error("--series-only needs --h5 FILE");
  if (o.append && o.series.empty()) usage_error("--append needs --h5 FILE");
  if (o.replace && o.series.empty()) usage_error("--replace needs --h5 FILE");
  if (o.append && o.replace) usage_error("--append and --replace cannot both be given: choose one");
  std::vector<pg::DiagramSpec> diagrams;
  for (const std::string& spec : o.diagrams) diagrams.push_back(pg::parse_diagram(spec));
  if (!diagrams.empty() && o.series.empty())
    usage_error("--diagram needs --h5 FILE: a diagram is written into the series file");
  if (dialogue) {
    for (const char* name : {"--centre", "--position", "--sink", "--rotate", "--frequency", "--diagram"})
      if (given(name))
        usage_error(fmt::format("{} needs at least one DUMP: without one, the answers are read from "
                                "standard input",
                                name));
  } else {
    if (given("--position") && o.centre != "p") usage_error("--position needs -c p");
    if (o.centre == "p" && !given("--position")) usage_error("-c p needs --position X Y Z");
    if (given("--sink") && o.centre != "x") usage_error("--sink needs -c x");
    if (o.centre == "x" && !given("--sink")) usage_error("-c x needs --sink N");
    if (o.rotate != 0 && !given("--frequency"))
      usage_error(fmt::format("-r {} needs -f FREQUENCY", o.rotate));
    if (o.rotate == 0 && given("--frequency")) usage_error("-f needs -r 1, 2 or 3");
  }

  pg::Answers answers;
  std::vector<pg::DumpJob> jobs;
  if (!dialogue) {
    answers.centre_mode = o.centre[0];
    if (o.centre == "p") {
      const std::vector<double> p = reals_of(o.position, "--position");
      answers.centre_position = {p[0], p[1], p[2]};
    }
    if (o.centre == "x") {
      std::istringstream text(one_word(o.sink, "--sink"));
      pg::FreeFormatInput in(text);
      answers.sink_number = in.integer("--sink");
    }
    answers.rotate_mode = o.rotate;
    if (o.rotate != 0) answers.rotation_frequency = reals_of({o.frequency}, "--frequency")[0];

    for (const std::string& path : o.dumps) jobs.push_back(job_for(path, o.output_dir));
    answers.ndumps = static_cast<std::int32_t>(jobs.size());
    for (const pg::DumpJob& job : jobs) answers.dump_name.push_back(job.label);
    // Output names that two dumps share: refused before anything is read.
    std::map<std::string, std::size_t> writer;
    for (std::size_t k = 0; k < jobs.size() && !o.series_only; ++k) {
      for (const std::string& out : {jobs[k].grid_path, jobs[k].index_path}) {
        const auto [it, fresh] = writer.emplace(out, k);
        if (!fresh)
          usage_error(fmt::format("dumps \"{}\" and \"{}\" would both write \"{}\"", jobs[it->second].path,
                                  jobs[k].path, out));
      }
    }
    for (pg::DumpJob& job : jobs) {
      job.not_readable = readability(job.path);
      if (job.not_readable != 0 && !o.keep_going)
        usage_error(fmt::format("dump \"{}\" is not readable: {}", job.path, std::strerror(job.not_readable)));
      job.not_a_dump = job.not_readable == 0 && not_a_dump(job.path);
      if (job.not_a_dump && !o.keep_going)
        usage_error(fmt::format("dump \"{}\" {}", job.path, pg::not_a_dump_why));
    }
  }

  if (o.output_dir != "." && !o.series_only) make_folder(o.output_dir, "the output folder");
  if (const auto dir = std::filesystem::path(o.series).parent_path(); !o.series.empty() && !dir.empty())
    make_folder(dir.string(), "the series file's folder");
  std::FILE* console = stdout;
  if (o.quiet) {
    console = std::fopen("/dev/null", "w");
    if (console == nullptr) usage_error(fmt::format("cannot open /dev/null: {}", std::strerror(errno)));
  }
  pg::StreamTrace trace(console);

  std::ios::sync_with_stdio(false);
  pg::RunOptions run = pg::options_from_environment();
  run.keep_going = o.keep_going;
  run.series_path = o.series;
  run.series_only = o.series_only;
  run.append = o.append;
  run.replace = o.replace;
  run.quiet = o.quiet;
  if (dialogue) return pg::phasegrid_main(std::cin, trace, run, o.output_dir);
  return pg::run_plan({std::move(answers), std::move(jobs), std::move(run), std::move(diagrams)}, trace);
}

}  // namespace

namespace pg {

int phasegrid_command(int argc, char** argv) {
  Options o;
  CLI::App app{"phasegrid"};
  app.set_help_flag();
  app.add_flag("-h,--help", o.help);
  app.add_flag("--version", o.version);
  app.add_option("-c,--centre", o.centre)->check(CLI::IsMember({"n", "m", "d", "p", "s", "x"}));
  app.add_option("--position", o.position)->expected(3)->allow_extra_args(false)->type_name("X Y Z");
  app.add_option("--sink", o.sink);
  app.add_option("-r,--rotate", o.rotate)->check(CLI::IsMember({0, 1, 2, 3}));
  app.add_option("-f,--frequency", o.frequency);
  app.add_option("-o,--output-dir", o.output_dir);
  app.add_flag("-k,--keep-going", o.keep_going);
  app.add_flag("-q,--quiet", o.quiet);
  app.add_option("--h5", o.series);
  app.add_flag("--series-only", o.series_only);
  app.add_flag("--append", o.append);
  app.add_flag("--replace", o.replace);
  app.add_option("--diagram", o.diagrams)->allow_extra_args(false)->type_name("SPEC");
  app.add_flag("--quantities", o.quantities);
  app.add_option("dumps", o.dumps);
  // What no option takes is refused by name below: the word itself.
  app.allow_extras();
  try {
    app.parse(argc, argv);
    for (const std::string& extra : app.remaining()) {
      if (extra == "--") continue;  // (what follows it is all dumps)
      throw pg::Error(pg::FaultKind::bad_answer,
                      fmt::format("unknown argument \"{}\": see phasegrid --help", pg::printable(extra)));
    }
  } catch (const CLI::ParseError& e) {
    std::string why = e.what();
    std::replace(why.begin(), why.end(), '\n', ' ');
    throw pg::Error(pg::FaultKind::bad_answer, why);
  }
  if (o.help || o.version || o.quantities) {
    if (o.help)
      fmt::print("{}", usage);
    else if (o.quantities)
      fmt::print("{}", quantities_text());
    else
      fmt::print("phasegrid {}\n", PHASEGRID_VERSION);
    return pg::exit_ok;
  }

  return run_command_line(o, app);
}

}  // namespace pg
