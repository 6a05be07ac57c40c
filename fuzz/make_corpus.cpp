// Writes the fuzzer's seed corpus: small dumps of every layout the reader
// knows, each a few particles long, into the folder given as the argument.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "format/dump_writer.hpp"
#include "tests/support/sample_dumps.hpp"

using namespace pg::dumpformat;
using namespace pgtest;

namespace {

std::string folder;
int written = 0;

void put(const std::string& name, const Dump& d) {
  write_dump(d, folder + "/" + name);
  ++written;
}

Particles with_extras(std::size_t n) {
  Particles p = sample_particles(n, 3);
  p.gradh.assign(n, 1.5f);
  p.gradsoft.assign(n, 2.5f);
  p.alpha.assign(n, 0.5f);
  for (auto& c : p.chem) c.assign(n, 0.25f);
  p.iunique.resize(n);
  for (std::size_t i = 0; i < n; ++i) p.iunique[i] = static_cast<std::int64_t>(100 + i);
  return p;
}

// Two blocks of 3 and 2 particles, sinks and inactive lists in both.
Dump two_blocks(bool tagged, int sink_reals) {
  Particles p = sample_particles(5, 2);
  p.iphase[0] = p.iphase[4] = -1;
  static const std::vector<std::int32_t> l1 = {1}, l2 = {2};
  Dump d = simple_dump(p, tagged);
  d.ints = standard_ints(5, 2);
  const Particles a = slice(p, 0, 3), b = slice(p, 3, 2);
  d.blocks = {Block{{gas_group(a, &l1), sink_group({1, 3}, sink_reals), rad_group(a)}},
              Block{{gas_group(b, &l2), sink_group({2}, sink_reals), rad_group(b)}}};
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_corpus FOLDER\n");
    return 2;
  }
  folder = argv[1];
  std::filesystem::create_directories(folder);

  for (bool tagged : {true, false}) {
    const std::string t = tagged ? "tagged" : "untagged";
    const Particles p = sample_particles(4);
    put(t + "_simple", simple_dump(p, tagged));
    put(t + "_no_particles", simple_dump(sample_particles(0), tagged));
    for (int reals : {9, 10, 15, 19}) put(t + "_two_blocks_sinks" + std::to_string(reals), two_blocks(tagged, reals));

    // Header layouts: default-integer counts 6, 7, 41 to 44.
    for (std::size_t n_int : {6, 7, 42, 43, 44}) {
      Dump d = simple_dump(p, tagged);
      d.ints.resize(n_int, 1);
      if (n_int >= 7) d.ints[6] = 1;
      put(t + "_ints" + std::to_string(n_int), d);
    }
    {
      Dump d = simple_dump(p, tagged);  // the optional header groups carry values
      d.small_counts = {2, 1, 3};
      d.n_i8 = 2;
      d.n_r4 = 2;
      put(t + "_header_groups", d);
      d.n_i8 = 0;
      put(t + "_no_int8", d);
    }
    {
      Dump d = simple_dump(p, tagged);  // fewer and more reals than the tag table
      d.reals.resize(14);
      d.real_tags.resize(14);
      put(t + "_reals14", d);
      d = simple_dump(p, tagged);
      for (int k = 0; k < 6; ++k) {
        d.reals.push_back(k);
        d.real_tags.push_back("more" + std::to_string(k));
      }
      put(t + "_reals36", d);
    }
    {
      Dump d = simple_dump(p, tagged);  // identification variants
      d.magic1 = 60769;
      d.magic2 = 60878;
      d.version = 690706;
      d.id_extra_bytes = 8;
      put(t + "_alt_magics", d);
    }
    {
      const Particles q = with_extras(4);
      Dump d = simple_dump(q, tagged);  // everything carried, arrays to pass over
      Group gas = gas_group(q, nullptr, 1, 1);
      gas.arrays.push_back(array_of("r8_end", s_real8, std::vector<double>(4, 1.0)));
      d.blocks = {Block{{gas, sink_group({2}, 15, 1), rad_group(q, 1, 1, 1),
                         Group{4, false, {}, {array_of("g4", s_real, std::vector<double>(4, 8.0))}},
                         Group{4, false, {}, {array_of("g5", s_int2, std::vector<std::int16_t>(4, 1))}}}}};
      put(t + "_all_groups", d);
    }
    {
      Dump d = simple_dump(p, tagged);  // no radiative group
      d.blocks[0].groups.pop_back();
      put(t + "_no_rad_group", d);
      d = simple_dump(p, tagged);  // a radiative group of other length: passed over
      d.blocks[0].groups[2].length_count = 2;
      put(t + "_rad_other_length", d);
      d = simple_dump(p, tagged);
      d.trailer = std::string(12, '\x07');
      put(t + "_trailing_bytes", d);
      d = simple_dump(p, tagged);
      d.cut = 600;
      put(t + "_cut", d);
    }
    {
      Particles q = sample_particles(6, 5);  // three blocks
      Dump d = simple_dump(q, tagged);
      d.ints = standard_ints(6, 3);
      d.blocks.clear();
      for (std::size_t b = 0; b < 3; ++b) {
        const Particles s = slice(q, 2 * b, 2);
        d.blocks.push_back(Block{{gas_group(s), sink_group({1}, 10), rad_group(s)}});
      }
      put(t + "_three_blocks", d);
    }
    {
      // Counts that differ from the arrays carried, read as the counts say.
      auto with_nums = [&](std::size_t group, std::array<std::int32_t, 8> nums) {
        Dump d = simple_dump(p, tagged);
        d.blocks[0].groups[group].explicit_nums = true;
        d.blocks[0].groups[group].nums = nums;
        return d;
      };
      put(t + "_density_counted_zero", with_nums(0, {1, 1, 0, 0, 0, 9, 0, 0}));
      put(t + "_eight_reals_counted", with_nums(0, {1, 1, 0, 0, 0, 8, 1, 0}));
      put(t + "_negative_counts", with_nums(0, {1, 1, -2, 0, -1, 9, 1, -3}));
      Dump old = with_nums(0, {});
      old.version = 2;
      old.blocks[0].groups[1].explicit_nums = true;
      old.blocks[0].groups[1].nums = {};
      put(t + "_old_version_zero_counts", old);
      Dump d = simple_dump(p, tagged);
      d.ints[0] = -3;
      put(t + "_negative_npart", d);
      d = simple_dump(p, tagged);
      d.blocks[0].groups[1].length_count = -2;
      put(t + "_negative_sinks", d);
      d = simple_dump(p, tagged);
      d.blocks[0].groups.push_back(Group{4, true, {0, 0, 0, 0, 0, 1, 0, 0}, {}});
      put(t + "_group4_not_held", d);
      // Two blocks announcing a fourth group, held and not held.
      for (bool held : {true, false}) {
        Dump two = two_blocks(tagged, 9);
        for (Block& b : two.blocks) {
          Group g4{b.groups[0].length_count, true, {0, 0, 0, 0, 0, 1, 0, 0}, {}};
          if (held)
            g4.arrays.push_back(array_of(
                "g4", s_real, std::vector<double>(static_cast<std::size_t>(g4.length_count), 8.0)));
          b.groups.push_back(g4);
        }
        put(t + (held ? "_two_blocks_group4_held" : "_two_blocks_group4_not_held"), two);
      }
    }
  }
  std::printf("%d seed dumps written to %s\n", written, folder.c_str());
  return 0;
}
