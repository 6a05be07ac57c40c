#include "driver/output_guard.hpp"

#include <sys/stat.h>

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <utility>

#include "base/error.hpp"
#include "driver/output_file.hpp"
#include "driver/series_reader.hpp"

namespace pg {

namespace {

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

[[noreturn]] void refuse(const std::string& why) { throw Error(FaultKind::output_refused, why); }

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (!is_control(c)) {
      out += c;
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
    }
  }
  return out;
}

void check_outputs(const std::vector<DumpJob>& jobs, const std::string& series_path, bool grid_files) {
  // The dumps, by the file they are (through any link).
  std::map<std::pair<dev_t, ino_t>, const DumpJob*> dumps;
  for (const DumpJob& job : jobs) {
    struct stat st {};
    if (::stat(job.path.c_str(), &st) == 0) dumps.emplace(std::pair(st.st_dev, st.st_ino), &job);
  }
  auto dump_at = [&](const std::string& path) -> const DumpJob* {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return nullptr;
    const auto it = dumps.find({st.st_dev, st.st_ino});
    return it == dumps.end() ? nullptr : it->second;
  };

  // An output's unfinished name, where its text is written until complete,
  // is no dump of the run and not the series file either.
  const auto lexical = [](const std::string& p) { return std::filesystem::path(p).lexically_normal(); };
  const std::filesystem::path series = lexical(series_path);
  auto check_unfinished = [&](const std::string& out, const std::string& of) {
    const std::string unfinished = unfinished_name(out);
    if (const DumpJob* d = dump_at(unfinished))
      refuse(fmt::format("\"{}\", where the new text of {} is written until it is complete, is dump \"{}\" of "
                         "this run; rename the dump",
                         printable(unfinished), of, printable(d->path)));
    if (!series_path.empty() && lexical(unfinished) == series)
      refuse(fmt::format("--h5 \"{}\" is where the new text of {} is written until it is complete; name another "
                         "file for the series",
                         printable(series_path), of));
  };
  if (grid_files) {
    for (const DumpJob& job : jobs) {
      if (std::any_of(job.grid_name.begin(), job.grid_name.end(), is_control))
        refuse(fmt::format("dump \"{}\": its name holds a control character, which its grid file's name and "
                           "index line cannot; rename or link the dump",
                           printable(job.path)));
      for (const std::string& out : {job.grid_path, job.index_path}) {
        if (const DumpJob* d = dump_at(out))
          refuse(fmt::format("output file \"{}\" of dump \"{}\" is dump \"{}\" of this run, which is never "
                             "replaced; write the files elsewhere (-o DIR)",
                             printable(out), printable(job.path), printable(d->path)));
        check_unfinished(out, fmt::format("output file \"{}\"", printable(out)));
      }
    }
  }
  if (series_path.empty()) return;
  if (const DumpJob* d = dump_at(series_path))
    refuse(fmt::format("--h5 \"{}\" is dump \"{}\" of this run, which is never replaced; name a new file for "
                       "the series",
                       printable(series_path), printable(d->path)));
  check_unfinished(series_path, fmt::format("the series file \"{}\"", printable(series_path)));
  if (const std::string why = series_refusal(series_path); !why.empty())
    refuse(fmt::format("--h5 \"{}\": {}, so it is not replaced; name a new file, or an earlier series file, "
                       "after --h5",
                       printable(series_path), why));
}

}  // namespace pg
