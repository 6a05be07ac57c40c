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

// The identification record and the file identifier, noted in `st`.
void read_identification(DumpFile& f, Trace& trace, ReadState& st) {
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
  st.format_version = dumpformat::format_version(id.version);
  st.file_ident = take_file_ident(f);
  st.tagged = dumpformat::ident_says_tagged(st.file_ident);
}

ReadEnd end_of_read(ReadState& st, bool early) {
  ReadEnd end{early, st.f.offset(), !early && st.dust_in_every_block, st.carried};
  end.tagged = st.tagged;
  end.format_version = st.format_version;
  end.file_ident = std::move(st.file_ident);
  end.blocks = std::move(st.blocks);
  return end;
}

ReadEnd read_dump(DumpFile& f, const ReadTarget& target) {
  Store& s = target.store;
  s.typef.extra_option1 = 0;
  s.typef.extra_option2 = 0;
  Trace& trace = target.trace;
  trace.say("reading header");
  ReadState st{f, s, trace, target.wanted};
  try {
    if (target.wanted.left_in_file || target.wanted.positions_left_in_file || target.wanted.velocities_left_in_file)
      st.file_at = f.file_at();
    read_identification(f, trace, st);
    read_header(st);
    read_blocks(st);
    s.ptmass.nptmass_read = s.ptmass.nptmass;
    trace.say(" FINISHED READ ", s.part.npart, s.ptmass.nptmass);
    s.radsinki.nradsink = s.ptmass.nptmass;
    return end_of_read(st, false);
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
  // (The file may have ended in the directory of a block not yet noted.)
  if (!st.blocks.empty() && st.blocks.size() == static_cast<std::size_t>(st.iblock))
    st.blocks.back().carried = st.block_carried;
  return end_of_read(st, true);
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
