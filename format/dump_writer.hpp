// Writes dump files of any layout: framed records, tagged or untagged, for
// tools/mkdump, the tests and the fuzz corpus.
//
// Low level: RecordWriter frames payloads (Payload builds one). High level:
// a Dump describes a whole file (identification, header groups, blocks of
// array groups) and write_dump()/dump_bytes() lay it out the way the
// simulation code writes it. Every field can be set to a wrong value, so that
// damaged and hostile layouts are as easy to build as good ones. The arrays
// of a group come from the array catalogue (catalogue_group) or are made up
// by the caller.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/system.hpp"
#include "base/units.hpp"
#include "format/array_catalogue.hpp"
#include "format/header.hpp"
#include "format/layout.hpp"
#include "format/slots.hpp"
#include "format/tags.hpp"

namespace pg::dumpformat {

// The bytes of one record's payload.
class Payload {
 public:
  template <class T>
  Payload& put(T v) {
    const auto* p = reinterpret_cast<const char*>(&v);
    bytes.append(p, sizeof v);
    return *this;
  }
  template <class T>
  Payload& put_all(const std::vector<T>& v) {
    bytes.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
    return *this;
  }
  // Text blank-padded (or cut) to `width` characters.
  Payload& text(std::string_view s, std::size_t width);
  std::string bytes;
};

// Appends framed records to a file or to memory.
class RecordWriter {
 public:
  RecordWriter() = default;  // into memory: see bytes()
  // Into a new file (a failure throws SystemError, with the call's errno).
  explicit RecordWriter(const std::string& path);
  ~RecordWriter() = default;
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  void record(std::string_view payload);
  void record(const Payload& p) { record(p.bytes); }
  // One record holding n items of T, without copying them first.
  template <class T>
  void array_record(const T* data, std::size_t n) {
    const auto len = static_cast<std::int32_t>(n * sizeof(T));
    raw(std::string_view(reinterpret_cast<const char*>(&len), 4));
    raw(std::string_view(reinterpret_cast<const char*>(data), n * sizeof(T)));
    raw(std::string_view(reinterpret_cast<const char*>(&len), 4));
  }
  // Unframed bytes, for damaged files.
  void raw(std::string_view bytes);
  // Writes what is still held and closes the file (throws as above).
  void close();
  const std::string& bytes() const { return mem_; }

 private:
  void flush();
  std::string path_;
  FileDescriptor file_;
  std::string mem_;  // what is written, or (into a file) held until flush()
};

struct Array {
  std::string tag;
  int slot = s_real;
  std::string data;  // the packed values
  ArrayId id = ArrayId::none;  // the catalogue's array, if it is one
};

template <class T>
Array array_of(std::string tag, int slot, const std::vector<T>& v) {
  Array a{std::move(tag), slot, {}, ArrayId::none};
  a.data.assign(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
  return a;
}
// The catalogue's array `a` holding v.
template <class T>
Array array_of(const ArraySpec& a, const std::vector<T>& v) {
  Array r = array_of(std::string(a.tag), a.slot, v);
  r.id = a.id;
  return r;
}

struct Group {
  std::int64_t length_count = 0;
  // Counted from the arrays' slots unless set explicitly.
  bool explicit_nums = false;
  std::array<std::int32_t, slot_count> nums{};
  std::vector<Array> arrays;
  std::array<std::int32_t, slot_count> counted_nums() const;
};

// A group of `length` items holding, without their data, the catalogue's
// arrays that a group whose array-length record counts `counts` holds at
// their places (see held_at), in file order.
Group catalogue_group(ArrayGroup g, std::int64_t length, const std::array<std::int32_t, slot_count>& counts);

struct Block {
  std::vector<Group> groups;  // one array-length record each, in order
};

struct Dump {
  bool tagged = true;
  // Identification record.
  std::int32_t magic1 = magic_int, magic2 = magic_real, version = newest_format, magic3 = magic_int;
  double id_real = 1.5;
  std::size_t id_extra_bytes = 0;
  std::string file_ident;  // empty: "FT" when tagged, "FU" otherwise
  // Header.
  std::vector<std::int32_t> ints;  // H3: npart, nbody1, nbody2, ...
  std::array<std::int32_t, 3> small_counts{};  // int*1, int*2, int*4 group counts
  std::int32_t n_i8 = 1;
  std::int64_t i8_value = 0;
  std::vector<std::string> real_tags;  // tagged dumps
  std::vector<double> reals;
  std::int32_t n_real = -1;  // the count record; -1: reals.size()
  std::int32_t n_r4 = 0;
  std::vector<double> units{code_udist, code_umass, code_unit_time};  // the grid's units
  // Arrays.
  std::int32_t n_array_lengths = -1;  // -1: sum of the blocks' group counts
  std::vector<Block> blocks;
  // Bytes after the last block, or a cut: keep only the first `cut` bytes.
  std::string trailer;
  std::int64_t cut = -1;
};

// The header reals in the order of the default tag table, with values.
struct HeaderReals {
  std::vector<std::string> tags;
  std::vector<double> values;
};
HeaderReals standard_reals(double gt = 0.75, double rhozero = 0.0125);

// Default-integer header of the 41 layout: npart, nbody1, nbody2, three
// integers, n_blocks, two random words and the 32-word table.
std::vector<std::int32_t> standard_ints(std::int32_t npart, std::int32_t n_blocks = 1);

// Where an array sits in a dump: its block, its group within the block and
// its place within the group, all counted from 0.
struct ArrayPlace {
  std::size_t block = 0, group = 0, index = 0;
};

// Produces the data record of one array at its place in the file, for dumps
// too large to hold in memory. It writes exactly one record (array_record()
// or record()) and returns true, or returns false to have the array's own
// data written.
using ArrayData = std::function<bool(RecordWriter&, const Array&, const ArrayPlace&)>;

std::string dump_bytes(const Dump& d);
void write_dump(const Dump& d, const std::string& path);
void write_file(const std::string& path, std::string_view bytes);
// write_dump() with the arrays' data records asked for while the file is
// written, in file order. The header and the array-length records are those
// of d; a Group's length_count is not derived from its (possibly empty) data.
// A dump with a cut cannot be streamed (std::invalid_argument).
void write_dump_streamed(Dump d, const std::string& path, const ArrayData& data);

}  // namespace pg::dumpformat
