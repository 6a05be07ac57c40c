// The Python module's reader leaves every value in the file and reads each
// array asked for straight into the caller's memory: what it hands out must
// be what the reader stores when it copies everything, whatever the layout.
#include <gtest/gtest.h>

#include <cstring>

#include "analysis/quantity_values.hpp"
#include "format/array_catalogue.hpp"
#include "python/native/dump_arrays.hpp"
#include "tests/support/harness.hpp"
#include "tests/support/sample_dumps.hpp"

using namespace pgtest;

namespace {

// Tagged and untagged; one block and two, with sinks and inactive lists;
// blocks large enough to be left in the file and one too small to be;
// chemistry carried or not; a dump cut in its second block.
std::vector<std::pair<std::string, std::string>> dumps() {
  std::vector<std::pair<std::string, std::string>> out;
  for (bool tagged : {true, false}) {
    const std::string t = tagged ? "tagged" : "untagged";
    Particles p = sample_particles(3000, tagged ? 3 : 4);
    for (auto& c : p.chem) c.assign(3000, 0.75f);
    for (std::size_t i = 0; i < 3000; ++i) p.chem[7][i] = static_cast<float>(i) / 3000.0f;
    out.emplace_back("one_block_" + t, dump_bytes(simple_dump(p, tagged)));

    std::vector<std::int32_t> l1 = {2}, l2 = {5, 6};
    p.iphase[1] = p.iphase[2504] = p.iphase[2505] = -1;
    Dump two = simple_dump(p, tagged);
    two.ints = standard_ints(3000, 2);
    Particles small = slice(p, 2500, 500);
    for (auto& c : small.chem) c.clear();  // the second block carries no chemistry
    two.blocks = {Block{{gas_group(slice(p, 0, 2500), &l1, 2), sink_group({1, 7}, 10), rad_group(slice(p, 0, 2500), 1, 1)}},
                  Block{{gas_group(small, &l2), sink_group({4}, 19), rad_group(small)}}};
    const std::string bytes = dump_bytes(two);
    out.emplace_back("two_blocks_" + t, bytes);
    out.emplace_back("two_blocks_" + t + "_cut", bytes.substr(0, bytes.size() - 3));
  }
  return out;
}

template <class T, int C>
std::string values(const pg::PerParticle<T, C>& m, int k, std::int64_t n) {
  std::string bytes;
  for (std::int64_t i = 1; i <= n; ++i) bytes.append(reinterpret_cast<const char*>(&m.component(k)[i - 1]), sizeof(T));
  return bytes;
}

}  // namespace

TEST(PythonReader, HandsOutWhatTheStoreHoldsWhenEverythingIsCopied) {
  for (const auto& [name, bytes] : dumps()) {
    SCOPED_TRACE(name);
    TempDir dir;
    pg::dumpformat::write_file(dir.file("dump"), bytes);
    pg::Store all(pg::idim);
    const ReadOutcome whole = read_dump_bytes(bytes, all);

    std::vector<pg::Quantity> every;
    for (const pg::QuantityInfo& i : pg::quantities()) every.push_back(i.q);
    const pg::python::ReadDump dump(dir.file("dump"), every);
    EXPECT_EQ(dump.end().ended_early, whole.status == 1);
    std::int64_t particles = 0;
    for (const pg::BlockRead& b : dump.end().blocks) {
      EXPECT_EQ(b.first, particles + 1);
      particles += b.particles;
    }
    EXPECT_EQ(dump.particles(), particles);
    if (whole.status == 0) {
      EXPECT_EQ(dump.particles(), all.part.npart);
    }

    // Chemistry only where every block carries it; the rest always here.
    const bool chemistry = name.starts_with("one_block");
    EXPECT_EQ(dump.carries(pg::Quantity::H2Frac), chemistry);
    EXPECT_TRUE(dump.carries(pg::Quantity::DustTemperature));
    for (const pg::Quantity q : dump.carried()) {
      if (!pg::is_array(q)) continue;
      SCOPED_TRACE(pg::info(q).name);
      std::string mine(static_cast<std::size_t>(dump.particles()) * (pg::python::quantity_type(q) == 'f' ? 4 : 8), '\0');
      dump.fill(q, mine.data());
      pg::with_array(all, q, [&](const pg::FileValues&, const auto& member, int k) {
        EXPECT_EQ(mine, values(member, k, dump.particles()));
      });
    }
    std::vector<std::int8_t> phases(static_cast<std::size_t>(dump.particles()));
    dump.fill_phases(phases.data());
    EXPECT_EQ(phases, std::vector<std::int8_t>(all.phase.iphase.base, all.phase.iphase.base + dump.particles()));

    // The sinks' table: the list and the spins as stored, the particles' positions.
    if (whole.status == 0 && all.ptmass.nptmass > 0) {
      const std::vector<pg::python::SinkColumn> sinks = dump.sinks();
      ASSERT_GE(sinks.size(), 2u);
      EXPECT_EQ(sinks[0].name, "listpm");
      EXPECT_EQ(sinks[1].name, "spinx");
      ASSERT_EQ(static_cast<std::int64_t>(sinks[0].values.size()), all.ptmass.nptmass);
      for (std::int64_t k = 1; k <= all.ptmass.nptmass; ++k) {
        const int list = all.ptmass.listpm(static_cast<int>(k));
        EXPECT_EQ(sinks[0].values[k - 1], list);
        EXPECT_EQ(sinks[1].values[k - 1], all.ptmass.spinx(static_cast<int>(k)));
        const auto x = std::find_if(sinks.begin(), sinks.end(), [](const auto& c) { return c.name == "x"; });
        ASSERT_NE(x, sinks.end());
        EXPECT_EQ(x->values[k - 1], all.part.pos_mass_h(1, list));
      }
    }
  }
}
