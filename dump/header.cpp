// The header: particle count and shape integers, the named reals, the units.
#include <algorithm>

#include "base/trace.hpp"
#include "format/header.hpp"
#include "format/layout.hpp"
#include "base/error.hpp"
#include "dump/fixed_records.hpp"
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

// A header group the reader has no use for beyond its count record. When it
// holds values its tag record (tagged dumps) and data record are passed
// over, so that the records after it are read as what they are.
void pass_over_group(ReadState& st, std::int32_t count) {
  if (count <= 0) return;
  if (st.tagged) st.f.skip_record();
  st.f.skip_record();
}

void read_default_ints(ReadState& st, std::int32_t n_int) {
  // The count selects the layout: which positions are read.
  namespace df = dumpformat;
  const int positions = df::default_int_positions(n_int);
  std::array<std::int32_t, df::max_default_ints> v{};
  st.f.begin_record();
  st.f.take_array(v.data(), positions);
  st.f.end_record();
  st.s.part.npart = v[df::di_npart];
  st.s.bodys.nbody1 = v[df::di_nbody1];
  st.s.bodys.nbody2 = v[df::di_nbody2];
  st.s.binary.binary_int1 = v[df::di_binary1];
  st.s.binary.binary_int2 = v[df::di_binary2];
  st.s.binary.binary_int3 = v[df::di_binary3];
  st.n_blocks = positions > df::di_blocks ? v[df::di_blocks] : 1;
  if (positions > df::di_rnd_table) {
    st.s.savernd.rnd_word2 = v[df::di_rnd_word2];
    st.s.savernd.rnd_word1 = v[df::di_rnd_word1];
    std::copy_n(v.begin() + df::di_rnd_table, df::rnd_table_words, st.s.savernd.rnd_table.begin());
  }
  if (positions > df::di_extra_option1) st.s.typef.extra_option1 = v[df::di_extra_option1];
  if (positions > df::di_extra_option2) st.s.typef.extra_option2 = v[df::di_extra_option2];
  st.has_dragscheme = positions > df::di_dragscheme;
  if (st.has_dragscheme) st.dump_dragscheme = v[df::di_dragscheme];
  switch (positions) {
    case 41: st.trace.say("USING 9+NTAB"); break;
    case 42: st.trace.say("USING 10+NTAB"); break;
    case 43: st.trace.say("USING 11+NTAB", st.s.typef.extra_option1, st.s.typef.extra_option2); break;
    case 44: st.trace.say("USING 12+NTAB", st.s.typef.extra_option2, st.s.typef.dragscheme); break;
    default: break;
  }
}

void read_header_reals(ReadState& st, HeaderTags& h, std::int32_t n_real) {
  if (st.tagged) {
    // The tag list holds 128 tags; any further tags of the record are passed
    // over with the rest of it.
    const int n = std::clamp<std::int32_t>(n_real, 0, max_header_tags);
    st.f.begin_record();
    for (int i = 0; i < n; ++i) st.f.take_bytes(h.tags[static_cast<std::size_t>(i)].data(), tag_length);
    st.f.end_record();
  } else {
    for (int i = 0; i < dumpformat::default_reals; ++i) h.tags[static_cast<std::size_t>(i)] = make_tag(default_tag_table[i]);
  }
  st.f.begin_record();
  st.f.take_array(h.values.data(), std::clamp<std::int32_t>(n_real, 0, max_header_values));
  st.f.end_record();
}

// Looks up the named reals, printing what the run needs to know.
void look_up_reals(ReadState& st, const HeaderTags& h, std::int32_t n_real) {
  auto required = [&](std::string_view tag, double& dst) {
    const std::optional<double> v = find_header_real(tag, h, n_real);
    dst = v.value_or(0.0);
    if (!v) raise_fault(FaultKind::header_value_missing, st.f.offset(), {}, std::string(header_key(tag)));
  };
  // A value the header does not hold is 0.
  auto optional = [&](std::string_view tag, double& dst) {
    const std::optional<double> v = extract(st.trace, tag, h, n_real);
    dst = v.value_or(0.0);
    return v.has_value();
  };
  required("gt", st.s.gtime.gt);
  if (st.s.gtime.gt > 0.0 && st.has_dragscheme && st.dump_dragscheme != st.s.typef.dragscheme)
    st.trace.warn({WarningKind::dragscheme_changed, fmt::format(" WARNING: dragscheme has changed {} {}",
                                                                st.s.typef.dragscheme, st.dump_dragscheme)});
  required("dtmax", st.s.dtmaxin.dtmax);
  required("gamma", st.s.cgas.gamma);
  required("rhozero", st.s.polyk2.rhozero);
  required("RK2", st.s.polyk2.RK2);
  optional("escap", st.s.fracg.escap);
  optional("tkin", st.s.ener2.tkin);
  optional("tgrav", st.s.ener2.tgrav);
  optional("tterm", st.s.ener2.tterm);
  optional("anglostx", st.s.binary.anglostx);
  optional("anglosty", st.s.binary.anglosty);
  optional("anglostz", st.s.binary.anglostz);
  optional("specang", st.s.binary.specang);
  optional("ptmassin", st.s.binary.ptmassin);
  optional("hzero", st.s.xforce.hzero);
  optional("uzero_n2", st.s.polyk2.uzero_n2);
  if (st.s.bodys.nbody2 > 0) st.trace.say(" read u for surrounding medium = ", st.s.polyk2.uzero_n2);
  optional("hmass", st.s.rbnd.hmass);
  optional("gapfac", st.s.planet2.gapfac);
  if (!optional("sdprof", st.s.planet2.sdprof)) {
    st.s.planet2.sdprof = -0.5;
    st.trace.say("Surface density pre vary (goes as r^-0.5)");
  }
  optional("rorbit_orig", st.s.pxpy.rorbit_orig);
  optional("min_rplan", st.s.planetesimal.min_rplan);
  if (!optional("max_rplan", st.s.planetesimal.max_rplan)) st.s.planetesimal.max_rplan = 1000000.0;
  st.trace.say("Setting planetesimal boundaries; check values.");
  st.trace.say("r_min = ", st.s.planetesimal.min_rplan);
  st.trace.say("r_max = ", st.s.planetesimal.max_rplan);
  if (!st.tagged) {
    st.trace.say("DO NOT USE CODE WITH DUMPS MADE FROM APRIL 2011");
    st.trace.say(" AND BEFORE 16/05/2011. For these, reals 26, 27 are");
    st.trace.say(" planetesimal radius and density respectively.");
  }
  optional("planetesimalmass", st.s.planetesimal.planetesimalmass);
  st.trace.say("Planetesimal mass ", st.s.planetesimal.planetesimalmass);
  optional("coremass_orig", st.s.planet2.coremass_orig);
  st.trace.say("Core mass orig ", st.s.planet2.coremass_orig);
  optional("coremass", st.s.planet2.coremass);
  st.trace.say("Core mass running record ", st.s.planet2.coremass);
}

}  // namespace

void read_header(ReadState& st) {
  const std::int32_t n_int = take_count(st.f);
  st.trace.say("number ints ", n_int);
  if (n_int < dumpformat::min_default_ints) {
    raise_fault(FaultKind::too_few_integers, st.f.offset());
  }
  if (st.tagged) st.f.skip_record();
  read_default_ints(st, n_int);
  if (st.s.part.npart > st.s.capacity() && st.n_blocks >= 1) raise_fault(FaultKind::npart_beyond_store, st.f.offset(), {st.s.part.npart, st.s.capacity()});

  for (int k = 0; k < 3; ++k) {
    const std::int32_t n = take_count(st.f);
    st.trace.say("number int1,2,4 ", n);
    pass_over_group(st, n);
  }

  const std::int32_t n_i8 = take_count(st.f);
  st.trace.say("number int8 ", n_i8);
  if (n_i8 == 1) {
    if (st.tagged) st.f.skip_record();
    st.f.begin_record();
    st.s.unique.iunique_max = st.f.take<std::int64_t>();
    st.f.end_record();
  } else {
    st.s.unique.iunique_max = st.s.part.npart;
    pass_over_group(st, n_i8);
  }

  const std::int32_t n_real = take_count(st.f);
  st.trace.say("number real ", n_real);
  if (n_real < dumpformat::min_default_reals) {
    raise_fault(FaultKind::too_few_reals, st.f.offset());
  }
  HeaderTags h;
  read_header_reals(st, h, n_real);
  look_up_reals(st, h, n_real);

  pass_over_group(st, take_count(st.f));  // real*4

  const std::int32_t n_r8 = take_count(st.f);
  if (n_r8 < dumpformat::min_units) {
    raise_fault(FaultKind::too_few_real8, st.f.offset());
  }
  if (st.tagged) st.f.skip_record();
  double u[3];
  st.f.begin_record();
  st.f.take_array(u, 3);
  st.f.end_record();
  st.s.unitsin(2) = u[0];
  st.s.unitsin(1) = u[1];
  st.s.unitsin(3) = u[2];
}

}  // namespace pg
