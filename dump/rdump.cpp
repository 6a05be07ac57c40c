#include "dump/rdump.hpp"

#include "base/console.hpp"
#include "format/layout.hpp"
#include "dump/reader.hpp"
#include "base/stop.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

// The identification record and the file identifier. Returns the tagged flag.
bool read_identification(DumpFile& f) {
  f.begin_record();
  const auto first = f.take<std::int32_t>();
  (void)f.take<double>();  // a real kept in the record; not used
  const auto second = f.take<std::int32_t>();
  const auto version = f.take<std::int32_t>();
  const auto third = f.take<std::int32_t>();
  const bool magics_ok = first_magic_ok(first) && second_magic_ok(second) && third_magic_ok(third);
  if (!f.record_runs_past_end()) {
    f.end_record();
  } else if (magics_ok) {
    // A good start, but the file ends inside the first record: a truncated
    // dump. (A file of the other byte order also has a length word that runs
    // past its end; its magic numbers are reported below.)
    throw DumpEnded{};
  }
  say("have read header");
  if (!first_magic_ok(first)) {
    say("ERROR 1 in rdump: ENDIANNESS wrong?");
    quit();
  }
  if (!second_magic_ok(second)) {
    say("ERROR 2 in rdump: default real size wrong");
    quit();
  }
  if (!third_magic_ok(third)) {
    say("ERROR 3 in rdump: default integer size wrong");
    quit();
  }
  if (version != magic_int && version > newest_format)
    say("ERROR 4 in rdump: format version is ", version,
        " but this version of Veltra can only read ", newest_format);

  char file_ident[100];
  f.begin_record();
  f.take_bytes(file_ident, sizeof file_ident);
  f.end_record();
  return file_ident[1] == 'T';
}

}  // namespace

void rdump(DumpFile& f, int& status, const Wanted& wanted) {
  status = 0;
  typef.extra_option1 = 0;
  typef.extra_option2 = 0;
  say("reading header");
  try {
    ReadState st{f, wanted};
    st.tagged = read_identification(f);
    read_header(st);
    read_blocks(st);
    ptmass.nptmass_read = ptmass.nptmass;
    say(" FINISHED READ ", part.npart, ptmass.nptmass);
    radsinki.nradsink = ptmass.nptmass;
  } catch (const DumpEnded&) {
    // A header without blocks is refused once the block directory is read;
    // when the file ends before that, its particle count must still not
    // reach beyond the store, which the rest of the run walks up to npart.
    if (part.npart > idim) {
      say("ERROR in rdump: npart>idim");
      quit();
    }
    say("END OF FILE REACHED IN RDUMP");
    status = 1;
  }
}

}  // namespace pg
