// phasegrid-dump: what a dump file holds, record by record, and whether
// phasegrid reads it completely.
//
// The walk goes through the record layer phasegrid reads with (pg::DumpFile),
// and decodes the identification, count and array-length records with the
// reader's own decoders: every fault of the framing is found, and worded, the
// same way. It follows the layout the file announces (its group counts and
// array-length records) rather than what phasegrid needs from it, and stops
// cleanly at the first record that is not there or not whole. Every loop is
// bounded by a count the file gives and consumes at least one record per
// step, so no walk runs past the end of the file. The verdict comes from
// phasegrid's own reader, run on the file with its trace kept in memory and
// its warnings shown.
#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/system.hpp"
#include "base/console.hpp"
#include "base/error.hpp"
#include "base/trace.hpp"
#include "format/header.hpp"
#include "format/layout.hpp"
#include "format/slots.hpp"
#include "format/tags.hpp"
#include "dump/fixed_records.hpp"
#include "dump/rdump.hpp"
#include "dump/record.hpp"
#include "state/store.hpp"

#ifndef PHASEGRID_VERSION
#define PHASEGRID_VERSION "unknown"
#endif

namespace {

namespace dumpformat = pg::dumpformat;

constexpr std::string_view usage =
    "Usage: phasegrid-dump [-h | --help | --version] DUMP...\n"
    "\n"
    "Prints what each dump holds, without asking anything: its identification\n"
    "and format version, whether its arrays are tagged, the header's group\n"
    "counts, the named reals and the units, and for every block the array-length\n"
    "records and each array (tag, or place when untagged; type; length). Ends\n"
    "with whether phasegrid reads the dump completely, and if not what stops it.\n"
    "\n"
    "Exit status: 0 every dump is read completely; 1 a dump could not be opened,\n"
    "ends early or is damaged; 2 bad usage.\n"
    "\n"
    "  -h, --help  this text\n"
    "  --version   the version\n";

// The tool's statuses: a dump phasegrid would not read completely is a damaged
// dump's.
constexpr int exit_damaged = pg::exit_dump_fault;
constexpr int exit_usage = pg::exit_usage;

// Header reals shown with their values; any further ones are counted.
constexpr std::int64_t max_reals_shown = 4096;

// Text from the file, fit to print: anything but printable ASCII becomes '?'.
std::string printable(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c < 0x20 || c > 0x7e) c = '?';
  return out;
}

std::string trimmed(std::string_view s) { return printable(dumpformat::trim_padding(s)); }


std::string_view strip_blanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// The walk of one dump's records, printed as it goes.
class Walk {
 public:
  // `size`: the file's size.
  Walk(pg::DumpFile& f, std::int64_t size) : f_(f), size_(size) {}

  // Walks the whole file, or up to where it cannot go on (wrong magic
  // numbers, no block layout). The record layer's faults arrive as
  // pg::DumpEnded or another pg::Error.
  void run() {
    if (!identification()) return;
    header();
    blocks();
  }

 private:
  std::int32_t count_record(std::string_view what) {
    const std::int32_t n = pg::take_count(f_);
    fmt::print("    {:<18} {}\n", what, n);
    return n;
  }

  // The tag record of a group: its first tags, at most `n`, max_reals_shown
  // and what the record holds.
  std::vector<std::string> tag_record(std::int64_t n) {
    f_.begin_record();
    const std::int64_t k = std::min({std::max<std::int64_t>(n, 0), max_reals_shown,
                                     f_.record_length() / dumpformat::tag_length});
    std::vector<std::string> tags;
    for (std::int64_t i = 0; i < k; ++i) {
      dumpformat::Tag t;
      f_.take_bytes(t.data(), t.size());
      tags.push_back(trimmed(std::string_view(t.data(), t.size())));
    }
    f_.end_record();
    return tags;
  }

  // The first items of a data record of T: at most `n`, `cap` and what the
  // record holds.
  template <class T>
  std::vector<T> data_record(std::int64_t n, std::int64_t cap) {
    f_.begin_record();
    const std::int64_t k =
        std::min({std::max<std::int64_t>(n, 0), cap, f_.record_length() / static_cast<std::int64_t>(sizeof(T))});
    std::vector<T> v(static_cast<std::size_t>(k));
    f_.take_array(v.data(), k);
    f_.end_record();
    return v;
  }

  // A group the walk only counts: its tag and data records, when it holds values.
  void plain_group(std::string_view what) {
    const std::int32_t n = count_record(what);
    if (n <= 0) return;
    if (tagged_) f_.skip_record();
    f_.skip_record();
  }

  bool identification() {
    const pg::Identification id = pg::take_identification(f_);
    if (!id.magics_ok()) {
      fmt::print("  identification: magic numbers {} {} {}: not those of a dump this tool "
                 "reads (another byte order, another integer or real size, or not a dump)\n",
                 id.magic1, id.magic2, id.magic3);
      return false;
    }
    pg::end_identification(f_);
    fmt::print("  identification: magic numbers {} {} {}, format version {}{}\n", id.magic1, id.magic2,
               id.magic3, dumpformat::format_version(id.version),
               id.record_bytes != dumpformat::id_record_bytes
                   ? fmt::format(" (a record of {} bytes)", id.record_bytes)
                   : "");

    const std::string ident = pg::take_file_ident(f_);
    tagged_ = dumpformat::ident_says_tagged(ident);
    fmt::print("  file identifier: \"{}\"\n", trimmed(ident));
    fmt::print("  {}\n", tagged_ ? "tagged: every header group and array has a tag record"
                                 : "untagged: values are known by their place");
    return true;
  }

  void header() {
    fmt::print("  header\n");
    const std::int32_t n_int = count_record("default integers");
    if (n_int > 0) {
      if (tagged_) f_.skip_record();
      const std::vector<std::int32_t> v = data_record<std::int32_t>(n_int, dumpformat::max_default_ints);
      // The layout phasegrid reads: which positions count.
      const int positions = dumpformat::default_int_positions(n_int);
      auto at = [&](std::size_t i) { return i < v.size() ? fmt::format("{}", v[i]) : std::string("-"); };
      fmt::print("      npart {}, nbody1 {}, nbody2 {}", at(dumpformat::di_npart), at(dumpformat::di_nbody1),
                 at(dumpformat::di_nbody2));
      if (positions > dumpformat::di_blocks) {
        fmt::print(", blocks {}", at(dumpformat::di_blocks));
        if (v.size() > dumpformat::di_blocks) n_blocks_ = v[dumpformat::di_blocks];
      }
      fmt::print("\n");
    }
    plain_group("integer*1");
    plain_group("integer*2");
    plain_group("integer*4");

    const std::int32_t n_i8 = count_record("integer*8");
    if (n_i8 > 0) {
      std::vector<std::string> tags;
      if (tagged_) tags = tag_record(n_i8);
      const std::vector<std::int64_t> v = data_record<std::int64_t>(n_i8, 4);
      // Untagged, a single value is taken as the largest unique identifier.
      for (std::size_t i = 0; i < v.size(); ++i)
        fmt::print("      {:<16} {}\n",
                   tagged_ ? (i < tags.size() ? tags[i] : "(no tag)")
                           : (n_i8 == 1 ? std::string(dumpformat::iunique_max_tag)
                                        : fmt::format("#{}", i + 1)),
                   v[i]);
    }

    const std::int32_t n_real = count_record("reals");
    if (n_real > 0) {
      std::vector<std::string> tags;
      if (tagged_) tags = tag_record(n_real);
      const std::vector<double> v = data_record<double>(n_real, max_reals_shown);
      for (std::size_t i = 0; i < v.size(); ++i) {
        std::string name;
        if (tagged_)
          name = i < tags.size() ? tags[i] : "(no tag)";
        else
          name = i < dumpformat::default_reals ? std::string(dumpformat::default_tag_table[i]) : "";
        fmt::print("      {:>4} {:<16} {}\n", i + 1, name, v[i]);
      }
      if (n_real > static_cast<std::int64_t>(v.size()))
        fmt::print("      ({} more announced than shown)\n", n_real - static_cast<std::int64_t>(v.size()));
    }
    plain_group("real*4");

    const std::int32_t n_r8 = count_record("real*8 (units)");
    if (n_r8 > 0) {
      std::vector<std::string> tags;
      if (tagged_) tags = tag_record(n_r8);
      const std::vector<double> v = data_record<double>(n_r8, 16);
      for (std::size_t i = 0; i < v.size(); ++i)
        fmt::print("      {:>4} {:<16} {}\n", i + 1, i < tags.size() ? tags[i] : "", v[i]);
    }
  }

  void blocks() {
    const std::int32_t n_lengths = pg::take_count(f_);
    if (n_blocks_ <= 0) {
      fmt::print("  array-length records: {}, for {} blocks: no block layout follows\n", n_lengths,
                 n_blocks_);
      return;
    }
    const std::int32_t per_block = n_lengths / n_blocks_;
    fmt::print("  array-length records: {} ({} block{} of {})\n", n_lengths, n_blocks_,
               n_blocks_ == 1 ? "" : "s", per_block);
    if (per_block < 1) {
      fmt::print("  no array groups in a block: no block layout follows\n");
      return;
    }
    for (std::int32_t b = 1; b <= n_blocks_; ++b) {
      fmt::print("  block {}\n", b);
      std::vector<dumpformat::ArrayLengths> groups;
      for (std::int32_t g = 1; g <= per_block; ++g) {
        const dumpformat::ArrayLengths l = pg::take_array_lengths(f_);
        std::string counts;
        for (std::size_t k = 0; k < l.nums.size(); ++k)
          if (l.nums[k] != 0)
            counts += fmt::format("{}{} {}", counts.empty() ? "" : ", ", dumpformat::slot_types[k].name,
                                  l.nums[k]);
        fmt::print("    group {}: length {}; arrays: {}\n", g, l.length_count,
                   counts.empty() ? "none" : counts);
        groups.push_back(l);  // one per record read: bounded by the file
      }
      for (std::size_t g = 0; g < groups.size(); ++g) arrays(static_cast<int>(g) + 1, groups[g]);
    }
    if (f_.offset() < size_)
      fmt::print("  {} bytes follow the last block (phasegrid does not read them)\n", size_ - f_.offset());
  }

  void arrays(int group, const dumpformat::ArrayLengths& l) {
    bool heading = false;
    for (std::size_t k = 0; k < l.nums.size(); ++k) {
      if (l.nums[k] != 0 && !heading) {
        fmt::print("    group {} arrays\n", group);
        heading = true;
      }
      const dumpformat::SlotType& type = dumpformat::slot_types[k];
      if (l.nums[k] < 0) {
        fmt::print("      {} arrays counted {}: none walked\n", type.name, l.nums[k]);
        continue;
      }
      for (std::int32_t a = 1; a <= l.nums[k]; ++a) {
        std::string name;
        if (tagged_) {
          f_.begin_record();
          dumpformat::Tag t;
          t.fill(' ');
          const std::size_t n = static_cast<std::size_t>(
              std::min<std::int64_t>(f_.record_length(), dumpformat::tag_length));
          f_.take_bytes(t.data(), n);
          f_.end_record();
          name = trimmed(std::string_view(t.data(), t.size()));
        } else {
          name = fmt::format("{} #{}", type.name, a);
        }
        f_.begin_record();
        const std::int64_t bytes = f_.record_length();
        f_.end_record();
        std::string note;
        if (bytes % type.bytes != 0)
          note = fmt::format("  ({} bytes: not a whole number of items)", bytes);
        else if (bytes / type.bytes != l.length_count)
          note = fmt::format("  (the group's length is {})", l.length_count);
        fmt::print("      {:<16} slot {} {:<9} {:>11}{}\n", name, k + 1, type.name, bytes / type.bytes, note);
      }
    }
  }

  pg::DumpFile& f_;
  std::int64_t size_;
  bool tagged_ = false;
  std::int32_t n_blocks_ = 1;
};

// Walks the dump and prints what phasegrid's reader makes of it. Returns
// true when the reader reads it completely.
bool inspect(const std::string& path, pg::Store& store) {
  // The file is read twice, by the walk and by the reader: a regular file only.
  {
    pg::DumpFile probe = pg::DumpFile::open(path);
    if (probe.open_error() != 0) {
      pg::tell(fmt::format("cannot open \"{}\": {}", path, std::strerror(probe.open_error())));
      return false;
    }
  }
  const auto st = pg::file_status(path);
  if (!st || !S_ISREG(st->st_mode)) {
    pg::tell(fmt::format("\"{}\" is not a regular file", path));
    return false;
  }
  const auto size = static_cast<std::int64_t>(st->st_size);
  fmt::print("{}: {} bytes\n", path, size);

  // The structure.
  {
    pg::DumpFile f = pg::DumpFile::open(path);
    Walk walk(f, size);
    try {
      walk.run();
    } catch (const pg::DumpEnded&) {
      fmt::print("  the file ends at byte {}, before the dump does\n", size);
    } catch (const pg::Error& fault) {
      fmt::print("  the walk stops: {}\n", pg::fault_text(fault));
    }
  }

  // The verdict of phasegrid's reader, reading only what it needs itself.
  pg::DumpFile f = pg::DumpFile::open(path);
  pg::BufferTrace trace;
  bool ended_early = false;
  std::optional<pg::Error> fault;
  try {
    ended_early = pg::rdump(f, {store, trace, pg::Wanted::nothing_optional()}).ended_early;
  } catch (const pg::Error& caught) {
    if (caught.kind == pg::FaultKind::store_exhausted) {
      pg::tell(caught.what());
      return false;
    }
    fault = caught;
  }
  for (const pg::Warning& warning : trace.warnings())
    fmt::print("  phasegrid notes: {}\n", strip_blanks(warning.line));
  if (fault) {
    fmt::print("phasegrid stops on it: {}\n", pg::fault_text(*fault));
    return false;
  }
  if (ended_early) {
    fmt::print("phasegrid reads it only in part: the file ends early (END OF FILE REACHED IN RDUMP)\n");
    return false;
  }
  fmt::print("phasegrid reads it completely: {} particles, {} sinks\n", store.part.npart, store.ptmass.nptmass);
  return true;
}

int dump_command(int argc, char** argv) {
  std::vector<std::string> dumps;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_done && (arg == "--help" || arg == "-h")) {
      fmt::print("{}", usage);
      return 0;
    }
    if (!options_done && arg == "--version") {
      fmt::print("phasegrid-dump {}\n", PHASEGRID_VERSION);
      return 0;
    }
    if (!options_done && arg == "--") {
      options_done = true;
      continue;
    }
    if (!options_done && arg.size() > 1 && arg.front() == '-') {
      pg::tell(fmt::format("unknown option \"{}\" (see phasegrid-dump --help)", arg));
      return exit_usage;
    }
    dumps.emplace_back(arg);
  }
  if (dumps.empty()) {
    fmt::print(stderr, "{}", usage);
    return exit_usage;
  }
  // The reader keeps no array a check does not need: only the members every
  // read fills get room, as much as the dumps need, up to the tool's capacity.
  pg::Store store;
  store.reserve(pg::idim, pg::Store::Members::always_read);
  int status = 0;
  for (std::size_t i = 0; i < dumps.size(); ++i) {
    if (i > 0) fmt::print("\n");
    if (!inspect(dumps[i], store)) status = exit_damaged;
    std::fflush(stdout);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  return pg::run_program("phasegrid-dump", dump_command, argc, argv);
}
