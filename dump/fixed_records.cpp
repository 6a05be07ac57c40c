#include "dump/fixed_records.hpp"

namespace pg {

bool starts_like_a_dump(DumpFile& f) {
  unsigned char head[dumpformat::dump_start_bytes];
  return dumpformat::starts_like_a_dump(head, f.peek_up_to(head, sizeof head));
}

Identification take_identification(DumpFile& f) {
  Identification id;
  f.begin_record();
  id.record_bytes = f.record_length();
  id.magic1 = f.take<std::int32_t>();
  (void)f.take<double>();  // a real kept in the record; not used
  id.magic2 = f.take<std::int32_t>();
  id.version = f.take<std::int32_t>();
  id.magic3 = f.take<std::int32_t>();
  return id;
}

void end_identification(DumpFile& f) {
  if (f.record_runs_past_end()) throw DumpEnded{};
  f.end_record();
}

std::string take_file_ident(DumpFile& f) {
  std::string ident(dumpformat::file_ident_length, ' ');
  f.begin_record();
  f.take_bytes(ident.data(), ident.size());
  f.end_record();
  return ident;
}

std::int32_t take_count(DumpFile& f) {
  f.begin_record();
  const auto n = f.take<std::int32_t>();
  f.end_record();
  return n;
}

dumpformat::ArrayLengths take_array_lengths(DumpFile& f) {
  dumpformat::ArrayLengths l;
  f.begin_record();
  l.length_count = f.take<std::int64_t>();
  f.take_array(l.nums.data(), dumpformat::slot_count);
  f.end_record();
  return l;
}

}  // namespace pg
