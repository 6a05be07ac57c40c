// Reading only what a run uses must change nothing that can be seen: the
// console, the files, the exit status, and every store member the run does
// read are the same as when every array is stored.
#include <gtest/gtest.h>

#include <cstring>

#include "base/error.hpp"
#include "driver/plan.hpp"
#include "dump/rdump.hpp"
#include "state/store.hpp"
#include "tests/support/sample_dumps.hpp"
#include "tests/support/harness.hpp"

using namespace pgtest;

namespace {

// A set of dumps of every layout: tagged and untagged, one and two blocks,
// sinks and inactive lists, optional arrays present and absent.
std::vector<std::pair<std::string, std::string>> dumps() {
  std::vector<std::pair<std::string, std::string>> out;
  for (bool tagged : {true, false}) {
    const std::string t = tagged ? "tagged" : "untagged";
    Particles p = sample_particles(40, tagged ? 3 : 4);
    p.gradh.assign(40, 0.5f);
    p.gradsoft.assign(40, 0.25f);
    p.alpha.assign(40, 0.125f);
    for (auto& c : p.chem) c.assign(40, 0.75f);
    p.iunique.assign(40, 0);
    for (std::size_t i = 0; i < 40; ++i) p.iunique[i] = 1000 + static_cast<std::int64_t>(i);
    Dump one = simple_dump(p, tagged);
    one.blocks[0].groups[1] = sink_group({3, 9}, 15, 1);
    out.emplace_back("one_block_" + t, dump_bytes(one));

    std::vector<std::int32_t> l1 = {2}, l2 = {5, 6};
    p.iphase[1] = p.iphase[29] = p.iphase[30] = -1;
    p.iunique.clear();
    Dump two = simple_dump(p, tagged);
    two.ints = standard_ints(40, 2);
    two.blocks = {Block{{gas_group(slice(p, 0, 25), &l1, 2), sink_group({1}, 10), rad_group(slice(p, 0, 25), 1, 1)}},
                  Block{{gas_group(slice(p, 25, 15), &l2), sink_group({4, 5}, 19), rad_group(slice(p, 25, 15))}}};
    const std::string bytes = dump_bytes(two);
    out.emplace_back("two_blocks_" + t, bytes);
    // Cut in a wanted array, in an array passed over, and in a record frame.
    for (std::size_t cut : {bytes.size() / 3, bytes.size() / 2 + 7, bytes.size() - 3})
      out.emplace_back("two_blocks_" + t + "_cut_" + std::to_string(cut), bytes.substr(0, cut));
  }
  return out;
}

template <class T>
std::vector<T> range(const T* p, std::int64_t n) {
  return n > 0 ? std::vector<T>(p, p + n) : std::vector<T>{};
}

struct Snapshot {
  ReadOutcome read;
  std::vector<double> pos[5], vel[4], rad[5], dust[2];
  std::vector<float> rho, gradh, alpha, chem;
  std::vector<std::int8_t> iphase;
  std::vector<std::int32_t> isteps, listinactive, listpm;
  std::vector<std::int64_t> iunique;
  std::vector<double> spinx, lyonlum;
};

template <class M>
std::vector<typename std::remove_pointer_t<decltype(M::base)>> component(const M& m, int k, std::int64_t n) {
  std::vector<std::remove_pointer_t<decltype(M::base)>> v;
  for (std::int64_t i = 1; i <= n; ++i) v.push_back(m(k, i));
  return v;
}

// What a run with each centring letter must have read, whatever else it
// passes over: the phase grid's densities and dust temperatures always, and
// what the centring uses.
struct MustRead {
  char centring;
  bool positions, masses, smoothing;
};
constexpr MustRead must_read[] = {
    {'n', false, false, false}, {'m', true, true, false}, {'s', true, true, false},
    {'x', true, true, false},   {'d', true, false, true}, {'p', true, false, false},
};

// Particles enough for every dump here.
constexpr std::int64_t poisoned = 64;

// Values no dump here holds, in the members a run may leave unread, so that
// what a read leaves unread cannot pass for what it read.
void poison_store(pg::Store& store) {
  for (std::int64_t i = 1; i <= poisoned; ++i) {
    for (int k = 1; k <= 5; ++k) store.part.pos_mass_h(k, i) = -7.0;
    store.densi.rho(i) = -7.0f;
    store.raddust.dust_temperature(i) = store.raddust.dust_opacity(i) = -7.0;
  }
}

Snapshot take(pg::Store& store, const std::string& bytes, const pg::Wanted& w) {
  store.reserve(pg::idim, pg::Store::Members::all, poisoned);
  poison_store(store);
  Snapshot s;
  {
    ConsoleCapture cap;
    pg::DumpFile f = memory_dump(bytes, 256);
    try {
      s.read.status = pg::rdump(f, {store, cap, w}).ended_early;
    } catch (const pg::Error& fault) {
      s.read.stopped = true;
      s.read.fault = fault.kind;
    }
    s.read.lines = cap.lines();
  }
  const std::int64_t n = store.part.npart;
  for (int k = 1; k <= 5; ++k) s.pos[k - 1] = component(store.part.pos_mass_h, k, n);
  for (int k = 1; k <= 4; ++k) s.vel[k - 1] = component(store.part.vel_u, k, n);
  for (int k = 1; k <= 5; ++k) s.rad[k - 1] = component(store.radtrans.rad_values, k, n);
  s.dust[0] = range(store.raddust.dust_temperature.base, n);
  s.dust[1] = range(store.raddust.dust_opacity.base, n);
  s.rho = range(store.densi.rho.base, n);
  s.gradh = component(store.gradhterms.gradhterms, 1, n);
  s.alpha = range(store.numpa.alpha.base, n);
  s.chem = component(store.chem.chem_abund, 2, n);
  s.iphase = range(store.phase.iphase.base, n);
  s.isteps = range(store.timei.isteps.base, n);
  s.listinactive = range(store.inactive.listinactive.base, store.inactive.nlistinactive);
  s.listpm = range(store.ptmass.listpm.v.data(), store.ptmass.nptmass);
  s.iunique = range(store.unique.iunique.base, n);
  s.spinx = range(store.ptmass.spinx.v.data(), store.ptmass.nptmass);
  s.lyonlum = range(store.ptmass.lyonlum.v.data(), store.ptmass.nptmass);
  return s;
}

}  // namespace

TEST(SelectiveRead, SameTraceAndSameMembersAsReadingEverything) {
  pg::Store store;
  for (const auto& [name, bytes] : dumps()) {
    const Snapshot all = take(store, bytes, pg::Wanted::everything());
    ASSERT_LE(store.part.npart, poisoned);
    for (const MustRead& m : must_read) {
      SCOPED_TRACE(name + " centring " + m.centring);
      const Snapshot some = take(store, bytes, pg::wanted_for_run(m.centring));
      EXPECT_EQ(some.read.lines, all.read.lines);
      EXPECT_EQ(some.read.status, all.read.status);
      EXPECT_EQ(some.read.stopped, all.read.stopped);
      // What every run reads, and what this centring needs.
      EXPECT_EQ(some.iphase, all.iphase);
      EXPECT_EQ(some.listinactive, all.listinactive);
      EXPECT_EQ(some.iunique, all.iunique);
      EXPECT_EQ(some.listpm, all.listpm);
      EXPECT_EQ(some.spinx, all.spinx);
      EXPECT_EQ(some.lyonlum, all.lyonlum);
      EXPECT_EQ(some.rho, all.rho);
      EXPECT_EQ(some.dust[0], all.dust[0]);
      if (m.positions) {
        for (int k = 0; k < 3; ++k) EXPECT_EQ(some.pos[k], all.pos[k]) << "coordinate " << k + 1;
      }
      if (m.masses) {
        EXPECT_EQ(some.pos[3], all.pos[3]) << "masses";
      }
      if (m.smoothing) {
        EXPECT_EQ(some.pos[4], all.pos[4]) << "smoothing lengths";
      }
    }
    // The run that reads nothing optional really stores none of it.
    const Snapshot none = take(store, bytes, pg::Wanted::nothing_optional());
    if (store.part.npart > 0 && all.read.status == 0) {
      EXPECT_NE(none.pos[0], all.pos[0]) << name;
      EXPECT_NE(none.chem, all.chem) << name;
    }
  }
}

TEST(SelectiveRead, WholeRunsAgreeWithReadingEverything) {
  for (const auto& [name, bytes] : dumps()) {
    for (const char* answers : {"n\n0\n", "m\n1\n1e-14\n", "d\n2\n3e-15\n", "x\n2\n3\n2e-14\n"}) {
      SCOPED_TRACE(name + " answers " + answers);
      TempDir a, b;
      write_file(a.file("dump01"), bytes);
      write_file(b.file("dump01"), bytes);
      const std::string input = std::string("1\ndump01\n") + answers;
      const ToolRun selective = run_tool(a.path(), input);
      const ToolRun everything = run_tool(b.path(), input, {}, {"PHASEGRID_READ_ALL=1"});
      EXPECT_EQ(selective.out, everything.out);
      EXPECT_EQ(selective.status, everything.status);
      EXPECT_EQ(a.read("IPdump01"), b.read("IPdump01"));
      EXPECT_EQ(a.read("QGdump01 01"), b.read("QGdump01 01"));
    }
  }
}

TEST(SelectiveRead, LastDumpNeedsOnlyTheTracedIdentifiers) {
  // The reader's trace of a block shows the identifiers the store holds from
  // the block's first particle on; a dump without identifiers shows what the
  // dump before it left there. Runs of several dumps, one process, both ways.
  Particles first = sample_particles(30, 5);
  first.iunique.assign(30, 0);
  for (std::size_t i = 0; i < 30; ++i) first.iunique[i] = 7000 + static_cast<std::int64_t>(i);
  Particles second = sample_particles(12, 6);  // no identifiers: numbered, trace shows the old ones
  Particles third = sample_particles(4, 7);
  third.iunique.assign(4, 0);  // first identifier 0: the trace shows beyond the block too
  const std::string files[3] = {dump_bytes(simple_dump(first)), dump_bytes(simple_dump(second, false)),
                                dump_bytes(simple_dump(third))};
  const std::string input = "3\nd1\nd2\nd3\nn\n0\n";
  TempDir a, b;
  for (int k = 0; k < 3; ++k) {
    write_file(a.file("d" + std::to_string(k + 1)), files[k]);
    write_file(b.file("d" + std::to_string(k + 1)), files[k]);
  }
  const ToolRun selective = run_tool(a.path(), input);
  const ToolRun everything = run_tool(b.path(), input, {}, {"PHASEGRID_READ_ALL=1"});
  EXPECT_EQ(selective.out, everything.out);
  EXPECT_EQ(selective.status, 0);
  EXPECT_NE(selective.out.find(" Read iunique 7000 7001 7002"), std::string::npos) << selective.out;
  EXPECT_NE(selective.out.find(" Read iunique 0 0 0 0 5 6 7 8 9 10"), std::string::npos) << selective.out;
  for (const char* f : {"IPd3", "QGd3     01"}) EXPECT_EQ(a.read(f), b.read(f));
}

TEST(SelectiveRead, ValuesLeftInEarlierDumpsFilesStayInForce) {
  // A run leaves phases, densities and dust temperatures in the dumps' files
  // (blocks of 1,024 particles and more), and the last dump's positions
  // (every centring);
  // what a later dump does not supply (fewer particles, no dust, dust in one
  // block of two, an early end) is still the earlier dump's, as when the
  // store holds every value. Small blocks are copied over what files hold.
  auto without_dust = [](Particles p) {
    p.dust_t.clear();
    p.dust_kappa.clear();
    return p;
  };
  auto two_blocks = [](const Particles& p, std::size_t first_block, const Particles& second,
                       const std::vector<std::int32_t>& sinks = {}) {
    Dump d = simple_dump(p);
    d.ints = standard_ints(static_cast<std::int32_t>(p.size()), 2);
    d.blocks = {Block{{gas_group(slice(p, 0, first_block)), sink_group({}), rad_group(slice(p, 0, first_block))}},
                Block{{gas_group(second), sink_group(sinks), rad_group(second)}}};
    return dump_bytes(d);
  };
  const Particles halves = sample_particles(3500, 10);
  Particles mixed = sample_particles(3000, 12);
  mixed.xyzmh[3][106] *= 100.0;  // the first sink's particle: the most massive here alone
  const std::string cut = dump_bytes(simple_dump(sample_particles(3000, 11)));
  const std::string files[] = {dump_bytes(simple_dump(sample_particles(3000, 8))),
                               dump_bytes(simple_dump(without_dust(sample_particles(1100, 9)))),
                               two_blocks(halves, 2000, without_dust(slice(halves, 2000, 1500))),
                               cut.substr(0, cut.size() * 3 / 4),
                               two_blocks(mixed, 100, slice(mixed, 100, 2900), {7, 2500})};
  for (const char* answers :
       {"n\n0\n", "d\n2\n3e-15\n", "m\n1\n1e-14\n", "s\n1\n1e-14\n", "x\n2\n3\n2e-14\n"}) {
    SCOPED_TRACE(answers);
    TempDir a, b;
    std::string input = "5\n";
    for (int k = 0; k < 5; ++k) {
      const std::string name = "d" + std::to_string(k + 1);
      write_file(a.file(name), files[k]);
      write_file(b.file(name), files[k]);
      input += name + "\n";
    }
    input += answers;
    const ToolRun selective = run_tool(a.path(), input);
    const ToolRun everything = run_tool(b.path(), input, {}, {"PHASEGRID_READ_ALL=1"});
    EXPECT_EQ(selective.out, everything.out);
    EXPECT_EQ(selective.status, everything.status);
    for (int k = 1; k <= 5; ++k) {
      const std::string grid = "QGd" + std::to_string(k) + "     01";
      EXPECT_EQ(a.read(grid), b.read(grid)) << grid;
    }
  }
}
