// An array of zeroed memory in a mapping of its own, backed by huge pages
// where the system offers them on request: for the few large buffers a run
// fills once and reuses (the grids, the grid's text). Fresh small pages each
// cost a fault, and on a virtual machine a slow one: 1.5 MB of them took
// 5 to 10 ms, two huge pages a fraction of that.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>
#include <utility>

namespace pg {

template <class T>
class MappedArray {
 public:
  MappedArray() = default;
  // n zeroed items; throws std::bad_alloc when they cannot be had.
  explicit MappedArray(std::size_t n) : bytes_(whole_huge_pages(n * sizeof(T))), size_(n) {
    if (n == 0) return;
    void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    (void)madvise(p, bytes_, MADV_HUGEPAGE);
    data_ = static_cast<T*>(p);
  }
  ~MappedArray() {
    if (data_ != nullptr) munmap(data_, bytes_);
  }
  MappedArray(MappedArray&& o) noexcept { swap(o); }
  MappedArray& operator=(MappedArray&& o) noexcept {
    MappedArray gone(std::move(o));
    swap(gone);
    return *this;
  }
  MappedArray(const MappedArray&) = delete;
  MappedArray& operator=(const MappedArray&) = delete;

  T* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  // A whole number of 2 MiB pages, so that huge pages can back all of it.
  static constexpr std::size_t whole_huge_pages(std::size_t bytes) {
    constexpr std::size_t huge = std::size_t{2} << 20;
    return (bytes + huge - 1) / huge * huge;
  }
  void swap(MappedArray& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(bytes_, o.bytes_);
    std::swap(size_, o.size_);
  }
  T* data_ = nullptr;
  std::size_t bytes_ = 0, size_ = 0;
};

}  // namespace pg
