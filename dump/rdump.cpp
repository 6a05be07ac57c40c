#include "dump/rdump.hpp"

#include "base/trace.hpp"
#include "format/layout.hpp"
#include "base/error.hpp"
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

// The identification record and the file identifier. Returns the tagged flag.
bool read_identification(DumpFile& f, Trace& trace) {
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
  trace.say("have read header");
  if (!first_magic_ok(first)) raise_fault(FaultKind::wrong_byte_order, f.offset());
  if (!second_magic_ok(second)) raise_fault(FaultKind::wrong_real_size, f.offset());
  if (!third_magic_ok(third)) raise_fault(FaultKind::wrong_integer_size, f.offset());
  if (dumpformat::format_version(version) > newest_format)
    trace.warn({WarningKind::newer_format_version,
                " " + fault_text(Error(FaultKind::newer_format_version, f.offset(), {version, newest_format}))});

  char file_ident[dumpformat::file_ident_length];
  f.begin_record();
  f.take_bytes(file_ident, sizeof file_ident);
  f.end_record();
  return dumpformat::ident_says_tagged(std::string_view(file_ident, sizeof file_ident));
}

}  // namespace

ReadNotes rdump(DumpFile& f, int& status, const ReadTarget& target) {
  Store& s = target.store;
  status = 0;
  s.typef.extra_option1 = 0;
  s.typef.extra_option2 = 0;
  Trace& trace = target.trace;
  trace.say("reading header");
  try {
    ReadState st{f, s, trace, target.wanted};
    st.tagged = read_identification(f, trace);
    read_header(st);
    read_blocks(st);
    s.ptmass.nptmass_read = s.ptmass.nptmass;
    trace.say(" FINISHED READ ", s.part.npart, s.ptmass.nptmass);
    s.radsinki.nradsink = s.ptmass.nptmass;
    return {st.dust_in_every_block};
  } catch (const DumpEnded&) {
    // A header without blocks is refused once the block directory is read;
    // when the file ends before that, its particle count must still not
    // reach beyond the store, which the rest of the run walks up to npart.
    if (s.part.npart > s.capacity())
      raise_fault(FaultKind::npart_beyond_store, f.offset(), {s.part.npart, s.capacity()});
    s.ensure(s.part.npart);
    trace.say("END OF FILE REACHED IN RDUMP");
    status = 1;
  }
  return {};
}

}  // namespace pg
