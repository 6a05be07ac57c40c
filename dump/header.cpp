// The header: particle count and shape integers, the named reals, the units.
#include <algorithm>

#include "base/console.hpp"
#include "base/stop.hpp"
#include "format/layout.hpp"
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

std::int32_t read_count(DumpFile& f) {
  f.begin_record();
  const auto n = f.take<std::int32_t>();
  f.end_record();
  return n;
}

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
  const int positions = (n_int == 7 || (n_int >= 41 && n_int <= 44)) ? n_int : 6;
  std::array<std::int32_t, 44> v{};
  st.f.begin_record();
  st.f.take_array(v.data(), positions);
  st.f.end_record();
  part.npart = v[0];
  bodys.nbody1 = v[1];
  bodys.nbody2 = v[2];
  binary.binary_int1 = v[3];
  binary.binary_int2 = v[4];
  binary.binary_int3 = v[5];
  st.n_blocks = positions >= 7 ? v[6] : 1;
  if (positions >= 41) {
    savernd.rnd_word2 = v[7];
    savernd.rnd_word1 = v[8];
    std::copy_n(v.begin() + 9, NTAB, savernd.rnd_table.begin());
  }
  if (positions >= 42) typef.extra_option1 = v[41];
  if (positions >= 43) typef.extra_option2 = v[42];
  st.has_dragscheme = positions == 44;
  if (st.has_dragscheme) st.dump_dragscheme = v[43];
  switch (positions) {
    case 41: say("USING 9+NTAB"); break;
    case 42: say("USING 10+NTAB"); break;
    case 43: say("USING 11+NTAB", typef.extra_option1, typef.extra_option2); break;
    case 44: say("USING 12+NTAB", typef.extra_option2, typef.dragscheme); break;
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
    for (int i = 0; i < 30; ++i) h.tags[static_cast<std::size_t>(i)] = make_tag(default_tag_table[i]);
  }
  st.f.begin_record();
  st.f.take_array(h.values.data(), std::clamp<std::int32_t>(n_real, 0, max_header_values));
  st.f.end_record();
}

// Looks up the named reals, printing what the run needs to know.
void look_up_reals(ReadState& st, const HeaderTags& h, std::int32_t n_real) {
  int missing = 0;
  auto required = [&](std::string_view tag, double& dst) {
    extract(tag, dst, h, n_real, missing);
    if (missing != 0) quit();
  };
  auto optional = [&](std::string_view tag, double& dst) {
    extract(tag, dst, h, n_real, missing);
    return missing == 0;
  };
  required("gt", gtime.gt);
  if (gtime.gt > 0.0 && st.has_dragscheme && st.dump_dragscheme != typef.dragscheme)
    say("WARNING: dragscheme has changed ", typef.dragscheme, st.dump_dragscheme);
  required("dtmax", dtmaxin.dtmax);
  required("gamma", cgas.gamma);
  required("rhozero", polyk2.rhozero);
  required("RK2", polyk2.RK2);
  optional("escap", fracg.escap);
  optional("tkin", ener2.tkin);
  optional("tgrav", ener2.tgrav);
  optional("tterm", ener2.tterm);
  optional("anglostx", binary.anglostx);
  optional("anglosty", binary.anglosty);
  optional("anglostz", binary.anglostz);
  optional("specang", binary.specang);
  optional("ptmassin", binary.ptmassin);
  optional("hzero", xforce.hzero);
  optional("uzero_n2", polyk2.uzero_n2);
  if (bodys.nbody2 > 0) say(" read u for surrounding medium = ", polyk2.uzero_n2);
  optional("hmass", rbnd.hmass);
  optional("gapfac", planet2.gapfac);
  if (!optional("sdprof", planet2.sdprof)) {
    planet2.sdprof = -0.5;
    say("Surface density pre vary (goes as r^-0.5)");
  }
  optional("rorbit_orig", pxpy.rorbit_orig);
  optional("min_rplan", planetesimal.min_rplan);
  if (!optional("max_rplan", planetesimal.max_rplan)) planetesimal.max_rplan = 1000000.0;
  say("Setting planetesimal boundaries; check values.");
  say("r_min = ", planetesimal.min_rplan);
  say("r_max = ", planetesimal.max_rplan);
  if (!st.tagged) {
    say("DO NOT USE CODE WITH DUMPS MADE FROM APRIL 2011");
    say(" AND BEFORE 16/05/2011. For these, reals 26, 27 are");
    say(" planetesimal radius and density respectively.");
  }
  optional("planetesimalmass", planetesimal.planetesimalmass);
  say("Planetesimal mass ", planetesimal.planetesimalmass);
  optional("coremass_orig", planet2.coremass_orig);
  say("Core mass orig ", planet2.coremass_orig);
  optional("coremass", planet2.coremass);
  say("Core mass running record ", planet2.coremass);
}

}  // namespace

void read_header(ReadState& st) {
  const std::int32_t n_int = read_count(st.f);
  say("number ints ", n_int);
  if (n_int < 6) {
    say("ERROR 4 in rdump: not enough default ints");
    quit();
  }
  if (st.tagged) st.f.skip_record();
  read_default_ints(st, n_int);
  if (part.npart > idim && st.n_blocks >= 1) {
    say("ERROR in rdump: npart>idim");
    quit();
  }

  for (int k = 0; k < 3; ++k) {
    const std::int32_t n = read_count(st.f);
    say("number int1,2,4 ", n);
    pass_over_group(st, n);
  }

  const std::int32_t n_i8 = read_count(st.f);
  say("number int8 ", n_i8);
  if (n_i8 == 1) {
    if (st.tagged) st.f.skip_record();
    st.f.begin_record();
    unique.iunique_max = st.f.take<std::int64_t>();
    st.f.end_record();
  } else {
    unique.iunique_max = part.npart;
    pass_over_group(st, n_i8);
  }

  const std::int32_t n_real = read_count(st.f);
  say("number real ", n_real);
  if (n_real < 14) {
    say("ERROR 5 in rdump: not enough default reals");
    quit();
  }
  HeaderTags h;
  read_header_reals(st, h, n_real);
  look_up_reals(st, h, n_real);

  pass_over_group(st, read_count(st.f));  // real*4

  const std::int32_t n_r8 = read_count(st.f);
  if (n_r8 < 3) {
    say("ERROR 6 in rdump: nreal8 too small header");
    quit();
  }
  if (st.tagged) st.f.skip_record();
  double u[3];
  st.f.begin_record();
  st.f.take_array(u, 3);
  st.f.end_record();
  unitsin(2) = u[0];
  unitsin(1) = u[1];
  unitsin(3) = u[2];
}

}  // namespace pg
