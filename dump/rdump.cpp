#include "dump/rdump.hpp"

#include <fmt/format.h>

#include "base/trace.hpp"
#include "format/layout.hpp"
#include "base/error.hpp"
#include "dump/fixed_records.hpp"
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

// The identification record and the file identifier. Returns the tagged flag.
bool read_identification(DumpFile& f, Trace& trace) {
  const Identification id = take_identification(f);
  // A good start whose record runs past the end of the file is a truncated
  // dump. (A file of the other byte order also has a length word that runs
  // past its end; its magic numbers are reported below.)
  if (id.magics_ok())
    end_identification(f);
  else if (!f.record_runs_past_end())
    f.end_record();
  trace.say("have read header");
  if (!first_magic_ok(id.magic1)) raise_fault(FaultKind::wrong_byte_order, f.offset());
  if (!second_magic_ok(id.magic2)) raise_fault(FaultKind::wrong_real_size, f.offset());
  if (!third_magic_ok(id.magic3)) raise_fault(FaultKind::wrong_integer_size, f.offset());
  if (dumpformat::format_version(id.version) > newest_format)
    trace.warn({WarningKind::newer_format_version,
                fmt::format(" ERROR 4 in rdump: format version is {} but this version of Veltra can only read {}",
                            id.version, newest_format)});
  return dumpformat::ident_says_tagged(take_file_ident(f));
}

ReadEnd read_dump(DumpFile& f, const ReadTarget& target) {
  Store& s = target.store;
  s.typef.extra_option1 = 0;
  s.typef.extra_option2 = 0;
  Trace& trace = target.trace;
  trace.say("reading header");
  ReadState st{f, s, trace, target.wanted};
  try {
    if (target.wanted.left_in_file || target.wanted.positions_left_in_file) st.file_at = f.file_at();
    st.tagged = read_identification(f, trace);
    read_header(st);
    read_blocks(st);
    s.ptmass.nptmass_read = s.ptmass.nptmass;
    trace.say(" FINISHED READ ", s.part.npart, s.ptmass.nptmass);
    s.radsinki.nradsink = s.ptmass.nptmass;
    return {false, f.offset(), st.dust_in_every_block, st.carried};
  } catch (const DumpEnded&) {
    // A header without blocks is refused once the block directory is read;
    // when the file ends before that, its particle count must still not
    // reach beyond the store, which the rest of the run walks up to npart.
    if (s.part.npart > s.capacity())
      raise_fault(FaultKind::npart_beyond_store, f.offset(), {s.part.npart, s.capacity()});
    s.ensure(s.part.npart);
    trace.line(std::string(" ") + DumpEnded::line);
  }
  // The block the file ended in carried only what was read of it.
  if (st.block_npart > 0) st.carried &= st.block_carried;
  return {true, f.offset(), false, st.carried};
}

}  // namespace

ReadEnd rdump(DumpFile& f, const ReadTarget& target) {
  ReadEnd end;
  try {
    end = read_dump(f, target);
  } catch (const Error& e) {
    // The store as the read left it, also after a fault: the run may go on.
    if (e.kind != FaultKind::interrupted) target.store.settle_files();
    throw;
  }
  target.store.settle_files();
  return end;
}

}  // namespace pg
