#include "series/output_guard.hpp"

#include <sys/stat.h>

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <utility>

#include "base/system.hpp"
#include "base/error.hpp"
#include "base/printable.hpp"
#include "series/output_file.hpp"
#include "series/series_reader.hpp"

namespace pg {

namespace {

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

[[noreturn]] void refuse(const std::string& why) { throw Error(FaultKind::output_refused, why); }

}  // namespace

void check_outputs(const std::vector<DumpOutputs>& jobs, const std::string& series_path) {
  // The dumps, by the file they are (through any link).
  std::map<std::pair<dev_t, ino_t>, const DumpOutputs*> dumps;
  for (const DumpOutputs& job : jobs)
    if (const auto st = file_status(job.dump)) dumps.emplace(std::pair(st->st_dev, st->st_ino), &job);
  auto dump_at = [&](const std::string& path) -> const DumpOutputs* {
    const auto st = file_status(path);
    if (!st) return nullptr;
    const auto it = dumps.find({st->st_dev, st->st_ino});
    return it == dumps.end() ? nullptr : it->second;
  };

  // An output's unfinished name, where its text is written until complete,
  // is no dump of the run and not the series file either.
  const auto lexical = [](const std::string& p) { return std::filesystem::path(p).lexically_normal(); };
  const std::filesystem::path series = lexical(series_path);
  auto check_unfinished = [&](const std::string& out, const std::string& of) {
    const std::string unfinished = unfinished_name(out);
    if (const DumpOutputs* d = dump_at(unfinished))
      refuse(fmt::format("\"{}\", where the new text of {} is written until it is complete, is dump \"{}\" of "
                         "this run; rename the dump",
                         printable(unfinished), of, printable(d->dump)));
    if (!series_path.empty() && lexical(unfinished) == series)
      refuse(fmt::format("--h5 \"{}\" is where the new text of {} is written until it is complete; name another "
                         "file for the series",
                         printable(series_path), of));
  };
  for (const DumpOutputs& job : jobs) {
    if (!job.files.empty() && std::any_of(job.grid_name.begin(), job.grid_name.end(), is_control))
      refuse(fmt::format("dump \"{}\": its name holds a control character, which its grid file's name and "
                         "index line cannot; rename or link the dump",
                         printable(job.dump)));
    for (const std::string& out : job.files) {
      if (const DumpOutputs* d = dump_at(out))
        refuse(fmt::format("output file \"{}\" of dump \"{}\" is dump \"{}\" of this run, which is never "
                           "replaced; write the files elsewhere (-o DIR)",
                           printable(out), printable(job.dump), printable(d->dump)));
      check_unfinished(out, fmt::format("output file \"{}\"", printable(out)));
    }
  }
  if (series_path.empty()) return;
  if (const DumpOutputs* d = dump_at(series_path))
    refuse(fmt::format("--h5 \"{}\" is dump \"{}\" of this run, which is never replaced; name a new file for "
                       "the series",
                       printable(series_path), printable(d->dump)));
  check_unfinished(series_path, fmt::format("the series file \"{}\"", printable(series_path)));
  if (const std::string why = series_refusal(series_path); !why.empty())
    refuse(fmt::format("--h5 \"{}\": {}, so it is not replaced; name a new file, or an earlier series file, "
                       "after --h5",
                       printable(series_path), why));
}

}  // namespace pg
