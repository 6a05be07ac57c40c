#include "series/hdf5_handle.hpp"

#include <sys/mman.h>

#include <new>
#include <string_view>

namespace pg::h5 {

namespace {

// The innermost entry of the error stack says what went wrong at the bottom
// (e.g. the system's refusal to create a file); the outer ones repeat the
// call chain.
herr_t keep_innermost(unsigned, const H5E_error2_t* entry, void* out) {
  if (entry->desc) *static_cast<std::string*>(out) = entry->desc;
  return 0;
}

std::string library_reason() {
  std::string desc;
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_DOWNWARD, keep_innermost, &desc);
  H5Eclear2(H5E_DEFAULT);
  // The file drivers put the system's message in a longer description.
  const std::string_view mark = "error message = '";
  if (const auto at = desc.find(mark); at != std::string::npos) {
    const auto start = at + mark.size();
    if (const auto end = desc.find('\'', start); end != std::string::npos)
      return desc.substr(start, end - start);
  }
  return desc;
}

}  // namespace

void prepare_calls() {
  // Measured (phasegrid under address-space limits a quarter MB apart):
  // starting the library, creating a series file and writing a row (a
  // 1.5 MB chunk, its compressed copy, the metadata cache) take under 2 MB
  // beyond what the run holds; twice that is made sure of.
  constexpr std::size_t headroom = std::size_t{4} << 20;
  void* p = ::mmap(nullptr, headroom, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  ::munmap(p, headroom);
  static const bool no_exit_handler = [] { return H5dont_atexit() >= 0; }();
  (void)no_exit_handler;
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

void fail(const char* what) {
  const std::string reason = library_reason();
  throw Error(reason.empty() ? std::string(what) : std::string(what) + ": " + reason);
}

hid_t check(hid_t id, const char* what) {
  if (id < 0) fail(what);
  return id;
}

herr_t check(herr_t status, const char* what) {
  if (status < 0) fail(what);
  return status;
}

PropertyList unlocked_access() {
  PropertyList fapl(check(H5Pcreate(H5P_FILE_ACCESS), "setting up the file"));
  check(H5Pset_file_locking(fapl.get(), false, true), "setting up the file");
  return fapl;
}

}  // namespace pg::h5
