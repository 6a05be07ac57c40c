// A thin layer over HDF5's C library: one move-only handle per kind of
// identifier, closed by the matching H5?close, and one seam through which
// every call is checked. A failing call throws h5::Error naming what was
// being done and, where the library says it, why.
//
// Only the series file's writer and reader include this header (HDF5 is a private dependency of
// the core library).
#pragma once

#include <hdf5.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace pg::h5 {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Before a thread's run of calls into the library. HDF5 does not survive
// every allocation that fails (it goes on with the null, under an
// address-space limit): the memory such a run may take is made sure of
// first, or std::bad_alloc is thrown. Then the library's own printing of
// its error stack is turned off for the calling thread (the library keeps
// one stack a thread): failures reach the caller as Error instead. The
// first call also keeps the library from closing what is left open at the
// process's exit: a file whose close failed (a full disk) would crash it
// there.
void prepare_calls();

// The checked calls: a negative result throws Error("<what>: <reason>"),
// the reason taken from the library's error stack (its innermost entry).
hid_t check(hid_t id, const char* what);
herr_t check(herr_t status, const char* what);  // also htri_t, the same type
[[noreturn]] void fail(const char* what);

template <herr_t (*Close)(hid_t)>
class Handle {
 public:
  Handle() = default;
  // Takes `id` (already checked) to close.
  explicit Handle(hid_t id) noexcept : id_(id) {}
  ~Handle() {
    // Unchecked: an unwinding or abandoned handle. What a failure put on the
    // thread's error stack is dropped (a thread's stack that ends holding
    // entries loses them unfreed).
    if (id_ >= 0 && Close(id_) < 0) H5Eclear2(H5E_DEFAULT);
  }
  Handle(Handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}
  Handle& operator=(Handle&& other) noexcept {
    std::swap(id_, other.id_);
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  hid_t get() const noexcept { return id_; }
  explicit operator bool() const noexcept { return id_ >= 0; }
  // Closes now, checked; a closed handle closes again as a no-op.
  void close(const char* what) {
    if (id_ < 0) return;
    check(Close(std::exchange(id_, H5I_INVALID_HID)), what);
  }

 private:
  hid_t id_ = H5I_INVALID_HID;
};

using File = Handle<H5Fclose>;
using Dataset = Handle<H5Dclose>;
using Dataspace = Handle<H5Sclose>;
using Datatype = Handle<H5Tclose>;
using Attribute = Handle<H5Aclose>;
using PropertyList = Handle<H5Pclose>;

// A file access list without HDF5's own file locking: series files are
// locked by the run that writes them (flock on the unfinished file).
PropertyList unlocked_access();

}  // namespace pg::h5
