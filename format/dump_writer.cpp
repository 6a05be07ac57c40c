#include "format/dump_writer.hpp"

#include <fcntl.h>

#include <stdexcept>

namespace pg::dumpformat {

Payload& Payload::text(std::string_view s, std::size_t width) {
  bytes += padded(s, width);
  return *this;
}

namespace {
constexpr std::size_t held_bytes = std::size_t{1} << 20;  // written a MB at a time
}  // namespace

RecordWriter::RecordWriter(const std::string& path) : path_(path) {
  auto fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!fd) throw SystemError("cannot create " + path, fd.error());
  file_ = std::move(*fd);
}

void RecordWriter::flush() {
  if (const int error = write_all(file_.get(), mem_)) throw SystemError("cannot write " + path_, error);
  mem_.clear();
}

void RecordWriter::raw(std::string_view bytes) {
  if (file_ && mem_.size() + bytes.size() > held_bytes) {
    flush();
    if (bytes.size() >= held_bytes) {  // large arrays go straight to the file
      if (const int error = write_all(file_.get(), bytes)) throw SystemError("cannot write " + path_, error);
      return;
    }
  }
  mem_.append(bytes);
}

void RecordWriter::record(std::string_view payload) {
  const auto len = static_cast<std::int32_t>(payload.size());
  raw(std::string_view(reinterpret_cast<const char*>(&len), 4));
  raw(payload);
  raw(std::string_view(reinterpret_cast<const char*>(&len), 4));
}

void RecordWriter::close() {
  if (!file_) return;
  flush();
  if (const int error = file_.close()) throw SystemError("cannot close " + path_, error);
}

std::array<std::int32_t, slot_count> Group::counted_nums() const {
  if (explicit_nums) return nums;
  std::array<std::int32_t, slot_count> n{};
  for (const Array& a : arrays) ++n[static_cast<std::size_t>(a.slot - 1)];
  return n;
}

namespace {

// A group of header values of `count` items of `bytes` each, written only when
// the count says there are any (tag record first in a tagged dump).
void small_group(RecordWriter& w, bool tagged, std::int32_t count, Slot slot, const char* tag) {
  w.record(Payload().put(count));
  if (count <= 0) return;
  if (tagged) {
    Payload t;
    for (std::int32_t i = 0; i < count; ++i) t.text(tag, tag_length);
    w.record(t);
  }
  w.record(std::string(static_cast<std::size_t>(count) * slot_bytes(slot), '\0'));
}

// One block: the array-length record of each group, then every group's
// arrays (tag record first in a tagged dump), the data records coming from
// `data` where it supplies them.
void write_block(RecordWriter& w, bool tagged, const Block& b, std::size_t block,
                          const ArrayData& data) {
  for (const Group& g : b.groups) {
    Payload p;
    p.put(g.length_count);
    for (std::int32_t n : g.counted_nums()) p.put(n);
    w.record(p);
  }
  for (std::size_t gi = 0; gi < b.groups.size(); ++gi) {
    const Group& g = b.groups[gi];
    for (std::size_t ai = 0; ai < g.arrays.size(); ++ai) {
      const Array& a = g.arrays[ai];
      if (tagged) w.record(Payload().text(a.tag, tag_length));
      if (!data || !data(w, a, ArrayPlace{block, gi, ai})) w.record(a.data);
    }
  }
}

// Fills the writer with the dump, honouring the cut.
void lay_out(const Dump& d, RecordWriter& w) {
  Payload id;
  id.put(d.magic1).put(d.id_real).put(d.magic2).put(d.version).put(d.magic3);
  id.bytes.append(d.id_extra_bytes, '\0');
  w.record(id);
  std::string ident = d.file_ident;
  if (ident.empty()) ident = ident_prefix(d.tagged);
  w.record(Payload().text(ident, file_ident_length));

  // Default integers.
  w.record(Payload().put(static_cast<std::int32_t>(d.ints.size())));
  if (d.tagged) {
    Payload t;
    for (std::size_t i = 0; i < d.ints.size(); ++i)
      t.text(i == 0 ? std::string("npart") : "intvar" + std::to_string(i + 1), tag_length);
    w.record(t);
  }
  w.record(Payload().put_all(d.ints));
  small_group(w, d.tagged, d.small_counts[0], s_int1, "int1var");
  small_group(w, d.tagged, d.small_counts[1], s_int2, "int2var");
  small_group(w, d.tagged, d.small_counts[2], s_int4, "int4var");
  // Integer*8 group: one value is the unique-identifier maximum.
  if (d.n_i8 == 1) {
    w.record(Payload().put(d.n_i8));
    if (d.tagged) w.record(Payload().text(iunique_max_tag, tag_length));
    w.record(Payload().put(d.i8_value));
  } else {
    small_group(w, d.tagged, d.n_i8, s_int8, "int8var");
  }
  // Default reals.
  w.record(Payload().put(d.n_real >= 0 ? d.n_real : static_cast<std::int32_t>(d.reals.size())));
  if (d.tagged) {
    Payload t;
    for (const std::string& tag : d.real_tags) t.text(tag, tag_length);
    w.record(t);
  }
  w.record(Payload().put_all(d.reals));
  small_group(w, d.tagged, d.n_r4, s_real4, "real4var");
  // Real*8: the units.
  w.record(Payload().put(static_cast<std::int32_t>(d.units.size())));
  if (d.tagged) {
    Payload t;
    for (std::size_t i = 0; i < d.units.size(); ++i) t.text("unitvar0" + std::to_string(i + 1), tag_length);
    w.record(t);
  }
  w.record(Payload().put_all(d.units));

  std::int32_t n_lengths = d.n_array_lengths;
  if (n_lengths < 0) {
    n_lengths = 0;
    for (const Block& b : d.blocks) n_lengths += static_cast<std::int32_t>(b.groups.size());
  }
  w.record(Payload().put(n_lengths));
  for (std::size_t b = 0; b < d.blocks.size(); ++b) write_block(w, d.tagged, d.blocks[b], b, nullptr);
  w.raw(d.trailer);
}

}  // namespace

HeaderReals standard_reals(double gt, double rhozero) {
  HeaderReals h;
  const double values[default_reals] = {gt,   0.01, 5.0 / 3.0, rhozero, 1.5,  0.0, 0.1, -0.2,
                                        0.3,  0.0,  0.0,       0.0,     0.0,  0.0, 0.0, 0.0,
                                        0.0,  0.0,  0.02,      0.033,   1e-3, 0.0, 0.0, -1.5,
                                        1.0,  0.5,  25.0,      2.5e-6,  1e-5, 1.2e-5};
  for (int i = 0; i < default_reals; ++i) {
    h.tags.emplace_back(default_tag_table[i]);
    h.values.push_back(values[i]);
  }
  return h;
}

std::vector<std::int32_t> standard_ints(std::int32_t npart, std::int32_t n_blocks) {
  std::vector<std::int32_t> v = {npart, npart, 0, 11, 12, 13, n_blocks, 100001, 100002};
  for (int i = 0; i < rnd_table_words; ++i) v.push_back(100100 + i);
  return v;
}

std::string dump_bytes(const Dump& d) {
  RecordWriter w;
  lay_out(d, w);
  std::string out = w.bytes();
  if (d.cut >= 0 && static_cast<std::size_t>(d.cut) < out.size()) out.resize(static_cast<std::size_t>(d.cut));
  return out;
}

void write_file(const std::string& path, std::string_view bytes) {
  RecordWriter w(path);
  w.raw(bytes);
  w.close();
}

void write_dump(const Dump& d, const std::string& path) {
  if (d.cut >= 0) {
    write_file(path, dump_bytes(d));
    return;
  }
  RecordWriter w(path);
  lay_out(d, w);
  w.close();
}

Group catalogue_group(ArrayGroup g, std::int64_t length, const std::array<std::int32_t, slot_count>& counts) {
  Group r;
  r.length_count = length;
  for (int k = 1; k <= slot_count; ++k)
    for (const ArraySpec& a : catalogue_slot(g, k))
      if (held_at(a, counts[static_cast<std::size_t>(k - 1)]))
        r.arrays.push_back(Array{std::string(a.tag), a.slot, {}, a.id});
  return r;
}

void write_dump_streamed(Dump d, const std::string& path, const ArrayData& data) {
  if (d.cut >= 0) throw std::invalid_argument("a dump with a cut cannot be streamed");
  // The header goes through lay_out() unchanged: the same dump without its
  // blocks and trailer, the block directory's length count kept.
  std::vector<Block> blocks = std::move(d.blocks);
  std::string trailer = std::move(d.trailer);
  d.blocks.clear();
  d.trailer.clear();
  if (d.n_array_lengths < 0) {
    d.n_array_lengths = 0;
    for (const Block& b : blocks) d.n_array_lengths += static_cast<std::int32_t>(b.groups.size());
  }
  RecordWriter w(path);
  lay_out(d, w);
  for (std::size_t b = 0; b < blocks.size(); ++b) write_block(w, d.tagged, blocks[b], b, data);
  w.raw(trailer);
  w.close();
}

}  // namespace pg::dumpformat
