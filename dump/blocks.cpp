// The array-block directory: the array-length records of each block, the
// checks that keep every block inside the store, and the end-of-block totals.
#include <algorithm>
#include <numeric>

#include "driver/console.hpp"
#include "driver/quit.hpp"
#include "dump/reader.hpp"
#include "state/store.hpp"

namespace pg {

namespace {

struct Lengths {
  std::int64_t length_count;
  std::array<std::int32_t, 8> nums;
};

Lengths read_lengths(DumpFile& f) {
  Lengths l{};
  f.begin_record();
  l.length_count = f.take<std::int64_t>();
  f.take_array(l.nums.data(), 8);
  f.end_record();
  return l;
}

[[noreturn]] void bad_layout(const ReadState& st, int group, const char* what, std::int64_t n,
                             const char* expected) {
  say(fmt::format("ERROR in rdump: block {}, array group {}: {} {}; this reader reads {}", st.iblock,
                  group, what, n, expected));
  quit();
}

// Array counts must not be negative: they decide how many records follow.
void check_counts(const ReadState& st, int group, const std::array<std::int32_t, 8>& nums) {
  for (int k = 1; k <= 8; ++k)
    if (slot(nums, k) < 0)
      bad_layout(st, group, fmt::format("type slot {} counts", k).c_str(), slot(nums, k),
                 "no negative counts");
}

// The layouts whose arrays the reader needs must carry them; arrays beyond
// those it reads are passed over at their place in the file.
void check_layouts(const ReadState& st, bool group3_read) {
  check_counts(st, 1, st.nums1);
  check_counts(st, 2, st.nums2);
  if (st.lengths_per_block >= 3) check_counts(st, 3, st.nums3);
  if (st.lengths_per_block >= 4) check_counts(st, 4, st.nums4);
  if (slot(st.nums1, 1) < 1) bad_layout(st, 1, "default-integer arrays", slot(st.nums1, 1), "at least 1 (isteps)");
  if (slot(st.nums1, 2) < 1) bad_layout(st, 1, "integer*1 arrays", slot(st.nums1, 2), "at least 1 (iphase)");
  if (slot(st.nums1, 6) < 9) bad_layout(st, 1, "default-real arrays", slot(st.nums1, 6), "at least 9 (x to u)");
  if (slot(st.nums1, 7) < 1) bad_layout(st, 1, "real*4 arrays", slot(st.nums1, 7), "at least 1 (rho)");
  if (slot(st.nums2, 1) < 1) bad_layout(st, 2, "default-integer arrays", slot(st.nums2, 1), "at least 1 (listpm)");
  const std::int32_t sink_reals = slot(st.nums2, 6);
  if (sink_reals != 9 && sink_reals != 10 && sink_reals != 15 && sink_reals != 19)
    bad_layout(st, 2, "default-real arrays", sink_reals, "9, 10, 15 or 19");
  if (group3_read && slot(st.nums3, 6) < 5)
    bad_layout(st, 3, "default-real arrays", slot(st.nums3, 6), "at least 5 (Erad to EddingtonFactor)");
}

std::int64_t total(const std::array<std::int32_t, 8>& nums) {
  return std::accumulate(nums.begin(), nums.end(), std::int64_t{0});
}

void end_block(ReadState& st) {
  // The block's sink list becomes indices into the whole store.
  if (st.n_blocks != 1) {
    for (std::int64_t j = st.nptmass_offset + 1; j <= st.nptmass_offset + ptmass.nptmass; ++j) {
      auto& entry = ptmass.listpm(static_cast<int>(j));
      // Wraps like the processor's addition instead of overflowing.
      entry = static_cast<std::int32_t>(static_cast<std::uint32_t>(entry) +
                                        static_cast<std::uint32_t>(st.icount));
    }
  }
  st.nptmass_offset += ptmass.nptmass;
  st.inactive_offset += inactive.nlistinactive;
  st.icount += st.block_npart;
  say("Totals at this point npart, nptmass ", st.icount, st.nptmass_offset);
  if (st.n_blocks != 1 && st.iblock == st.n_blocks) {
    if (part.npart != st.icount) {
      say("ERROR - rdump: icount.NE.npart ", st.icount, part.npart, st.n_blocks, st.iblock);
      quit();
    }
    ptmass.nptmass = static_cast<std::int32_t>(st.nptmass_offset);
    inactive.nlistinactive = static_cast<std::int32_t>(st.inactive_offset);
  }
}

}  // namespace

void check_array_tag(ReadState& st, std::string_view expected) {
  if (!st.tagged) return;
  Tag tag;
  st.f.begin_record();
  st.f.take_bytes(tag.data(), tag.size());
  st.f.end_record();
  int mismatch;
  checktag(expected, tag, mismatch);
}

void skip_arrays(ReadState& st, std::int64_t count) {
  for (std::int64_t k = 0; k < count; ++k) {
    if (st.tagged) st.f.skip_record();
    st.f.skip_record();
  }
}

void read_blocks(ReadState& st) {
  st.f.begin_record();
  st.n_array_lengths = st.f.take<std::int32_t>();
  st.f.end_record();
  say("Number of array lengths & blocks ", st.n_array_lengths, st.n_blocks);
  // No blocks at all cannot be divided into: the same stop as too few lengths.
  if (st.n_array_lengths < 2 || st.n_blocks <= 0 || st.n_array_lengths / st.n_blocks < 2) {
    say("ERROR 7 in rdump ", st.n_array_lengths, 3);
    quit();
  }
  if (part.npart < 0) {
    say("ERROR in rdump: npart is negative ", part.npart);
    quit();
  }
  st.lengths_per_block = st.n_array_lengths / st.n_blocks;
  const std::int64_t npart = part.npart;

  for (st.iblock = 1; st.iblock <= st.n_blocks; ++st.iblock) {
    say("Doing block ", st.iblock);
    const Lengths g1 = read_lengths(st.f);
    st.nums1 = g1.nums;
    if ((g1.length_count < npart && st.n_blocks == 1) || g1.length_count > idim) {
      say("ERROR 8 in rdump: npart wrong", g1.length_count, part.npart, idim);
      quit();
    }
    if (g1.length_count < 0) {
      say("ERROR in rdump: block", st.iblock, "has a negative particle count", g1.length_count);
      quit();
    }
    st.block_npart = std::min(npart, g1.length_count);
    if (st.icount + st.block_npart > idim) {
      say("ERROR - idim exceeded ", st.icount, st.block_npart, idim);
      quit();
    }

    const Lengths g2 = read_lengths(st.f);
    st.nums2 = g2.nums;
    if (g2.length_count > ptmass_dim) {
      say("ERROR 8.5 in rdump: nptmass exceeds dimensions!!", g2.length_count, ptmass_dim);
      quit();
    }
    if (g2.length_count < 0) {
      say("ERROR in rdump: block", st.iblock, "has a negative number of sinks", g2.length_count);
      quit();
    }
    // Each block may hold up to 300 sinks, but they all share one list.
    if (st.nptmass_offset + g2.length_count > ptmass_dim) {
      say("ERROR in rdump: the sinks of blocks 1 to", st.iblock, "number",
          st.nptmass_offset + g2.length_count, "more than", ptmass_dim);
      quit();
    }
    ptmass.nptmass = static_cast<std::int32_t>(g2.length_count);

    st.block_nrad = 0;
    st.nums3 = {};
    st.nums4 = {};
    if (st.lengths_per_block >= 3) {
      const Lengths g3 = read_lengths(st.f);
      st.nums3 = g3.nums;
      say_values("nums3 ", st.nums3.data(), 8);
      if (g3.length_count > idim) {
        say("ERROR 9 in rdump: iradtrans wrong ", g3.length_count, idim, part.npart);
        quit();
      }
      st.block_nrad = std::min(npart, g3.length_count);
    }
    st.unread_group_arrays = 0;
    if (st.lengths_per_block >= 4) {
      const Lengths g4 = read_lengths(st.f);
      st.nums4 = g4.nums;
      say_values("nums4 ", st.nums4.data(), 8);
      st.unread_group_arrays = total(st.nums4);
    }
    // Groups beyond the fourth: their arrays are passed over as well.
    for (std::int32_t g = 5; g <= st.lengths_per_block; ++g) {
      const Lengths gk = read_lengths(st.f);
      check_counts(st, g, gk.nums);
      st.unread_group_arrays += total(gk.nums);
    }
    const bool group3_read = st.lengths_per_block >= 3 && st.block_nrad == st.block_npart;
    check_layouts(st, group3_read);

    read_gas_integers(st);
    read_gas_reals(st);
    read_sinks(st);
    read_radiation(st);
    end_block(st);
  }
}

}  // namespace pg
