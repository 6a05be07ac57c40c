#include "driver/series_file.hpp"

#include "base/stop.hpp"

namespace pg {

std::string_view status_text(DumpStatus status) {
  switch (status) {
    case DumpStatus::complete: return "complete";
    case DumpStatus::ended_early: return "ended early";
    case DumpStatus::could_not_be_opened: return "could not be opened";
    case DumpStatus::stopped_by_fault: return "stopped by a fault";
  }
  return "";
}

struct SeriesFile::Impl {};

SeriesFile::SeriesFile(const std::string& path, const SeriesRun&) {
  throw Stop{exit_usage, "cannot write the series file \"" + path + "\": not built yet"};
}
SeriesFile::~SeriesFile() { delete impl_; }
SeriesFile::SeriesFile(SeriesFile&& other) noexcept : impl_(other.impl_) { other.impl_ = nullptr; }
SeriesFile& SeriesFile::operator=(SeriesFile&& other) noexcept {
  std::swap(impl_, other.impl_);
  return *this;
}
void SeriesFile::append(const SeriesDump&) {}
void SeriesFile::close() {}

}  // namespace pg
