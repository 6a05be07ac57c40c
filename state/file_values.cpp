#include "state/file_values.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "base/error.hpp"

namespace pg {

namespace {

std::int64_t end_of(std::int64_t first, std::int64_t count) { return first + count; }

std::string changed_text(const FileAt& file, const std::string& why) {
  return fmt::format("dump \"{}\" changed while it was read ({})", file.name(), why);
}

}  // namespace

void check_unchanged(const FileAt& file) {
  if (const std::string why = file.changed(); !why.empty())
    raise_fault(FaultKind::dump_changed, -1, {}, changed_text(file, why));
}

void FileValues::note(std::shared_ptr<const FileAt> file, std::int64_t first, std::int64_t count,
                      std::int64_t offset) {
  if (count <= 0) return;
  if (layers_.empty() || layers_.back().file != file) layers_.push_back({std::move(file), {}});
  // A dump's blocks follow one another: each note lies after the last.
  layers_.back().spans.push_back({first, count, offset});
}

void FileValues::read_span(const Layer& layer, const Span& span, std::int64_t first, std::int64_t count,
                           char* dst) const {
  const std::int64_t offset = span.offset + (first - span.first) * static_cast<std::int64_t>(item_);
  const std::size_t bytes = static_cast<std::size_t>(count) * item_;
  std::size_t done = 0;
  while (done < bytes) {
    const auto got = layer.file->read_at(dst + done, bytes - done, offset + static_cast<std::int64_t>(done));
    if (!got)
      raise_fault(FaultKind::read_failed, offset + static_cast<std::int64_t>(done), {}, std::strerror(got.error()));
    if (*got == 0) raise_fault(FaultKind::dump_changed, -1, {}, changed_text(*layer.file, "it has become shorter"));
    done += *got;
  }
}

// The values of the first `layers` layers, over the room.
void FileValues::gather_below(std::size_t layers, std::int64_t first, std::int64_t count, char* dst,
                              const Room& room) const {
  if (count <= 0) return;
  if (layers == 0) {
    const std::int64_t held = std::clamp<std::int64_t>(room.particles - first + 1, 0, count);
    if (room.stride == item_) {
      if (held > 0) std::memcpy(dst, room.first + (first - 1) * static_cast<std::int64_t>(item_), static_cast<std::size_t>(held) * item_);
    } else {
      for (std::int64_t j = 0; j < held; ++j)
        std::memcpy(dst + j * static_cast<std::int64_t>(item_),
                    room.first + (first - 1 + j) * static_cast<std::int64_t>(room.stride), item_);
    }
    std::memset(dst + held * static_cast<std::int64_t>(item_), 0, static_cast<std::size_t>(count - held) * item_);
    return;
  }
  const Layer& layer = layers_[layers - 1];
  const std::int64_t end = end_of(first, count);
  auto s = std::partition_point(layer.spans.begin(), layer.spans.end(),
                                [&](const Span& x) { return end_of(x.first, x.count) <= first; });
  std::int64_t at = first;
  for (; s != layer.spans.end() && s->first < end; ++s) {
    const std::int64_t lo = std::max(at, s->first);
    gather_below(layers - 1, at, lo - at, dst + (at - first) * static_cast<std::int64_t>(item_), room);
    const std::int64_t hi = std::min(end, end_of(s->first, s->count));
    read_span(layer, *s, lo, hi - lo, dst + (lo - first) * static_cast<std::int64_t>(item_));
    at = hi;
  }
  gather_below(layers - 1, at, end - at, dst + (at - first) * static_cast<std::int64_t>(item_), room);
}

void FileValues::gather(std::int64_t first, std::int64_t count, void* dst, const Room& room) const {
  gather_below(layers_.size(), first, count, static_cast<char*>(dst), room);
}

// Whether the later layers hold every particle layer `k` holds.
bool FileValues::covered(std::size_t k) const {
  std::vector<Span> later;
  for (std::size_t j = k + 1; j < layers_.size(); ++j)
    later.insert(later.end(), layers_[j].spans.begin(), layers_[j].spans.end());
  std::sort(later.begin(), later.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
  // Both in particle order: one pass over each.
  auto t = later.begin();
  std::int64_t reach = 0;  // the later spans so far cover up to here, from the start of a span of layer k
  for (const Span& s : layers_[k].spans) {
    std::int64_t at = s.first;  // the first particle of s not yet found covered
    if (reach > at) at = reach;
    for (; t != later.end() && t->first <= at; ++t) at = std::max(at, end_of(t->first, t->count));
    if (at < end_of(s.first, s.count)) return false;
    reach = at;
  }
  return true;
}

void FileValues::copy_into(const Layer& layer, const Room& room) const {
  copy_spans(layer, room);
  check_unchanged(*layer.file);
}

void FileValues::copy_spans(const Layer& layer, const Room& room) const {
  for (const Span& s : layer.spans) {
    if (room.stride == item_) {
      read_span(layer, s, s.first, s.count, room.first + (s.first - 1) * static_cast<std::int64_t>(item_));
      continue;
    }
    constexpr std::int64_t slice = 4096;
    std::vector<char> buffer(static_cast<std::size_t>(slice) * item_);
    for (std::int64_t i = s.first; i < end_of(s.first, s.count); i += slice) {
      const std::int64_t n = std::min(slice, end_of(s.first, s.count) - i);
      read_span(layer, s, i, n, buffer.data());
      for (std::int64_t j = 0; j < n; ++j)
        std::memcpy(room.first + (i - 1 + j) * static_cast<std::int64_t>(room.stride),
                    buffer.data() + j * static_cast<std::int64_t>(item_), item_);
    }
  }
}

std::int64_t FileValues::settle_reach() const {
  std::int64_t reach = 0;
  for (std::size_t k = 0; k + 1 < layers_.size(); ++k)
    if (!covered(k))
      for (const Span& s : layers_[k].spans) reach = std::max(reach, end_of(s.first, s.count) - 1);
  return reach;
}

void FileValues::settle(const Room& room) {
  if (layers_.size() < 2) return;
  struct Drop {  // also when a copy fails
    std::vector<Layer>& layers;
    ~Drop() { layers.erase(layers.begin(), layers.end() - 1); }
  } drop{layers_};
  for (std::size_t k = 0; k + 1 < layers_.size(); ++k)
    if (!covered(k)) copy_into(layers_[k], room);
}

std::int64_t FileValues::reach() const {
  std::int64_t reach = 0;
  for (const Layer& layer : layers_)
    for (const Span& s : layer.spans) reach = std::max(reach, end_of(s.first, s.count) - 1);
  return reach;
}

void FileValues::fill(const Room& room) {
  struct Drop {  // also when a copy fails
    std::vector<Layer>& layers;
    ~Drop() { layers.clear(); }
  } drop{layers_};
  for (const Layer& layer : layers_) copy_into(layer, room);
}

}  // namespace pg
