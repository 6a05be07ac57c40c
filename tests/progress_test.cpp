// The progress line of a run, driven through the record layer's hook by a
// made-up source of several gigabytes and a made-up clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>

#include "base/console.hpp"
#include "driver/progress.hpp"
#include "dump/record.hpp"
#include "tests/support/harness.hpp"

using pg::DumpFile;
using pg::RunProgress;

namespace {

// `count` records of `payload` zero bytes, made up as they are read, so that
// a file of gigabytes costs nothing. Every read or seek moves `clock` on by
// `step` seconds, as a real read takes its time.
class LargeSource final : public pg::ByteSource {
 public:
  LargeSource(std::int64_t payload, std::int64_t count, double& clock, double step)
      : payload_(payload), count_(count), clock_(clock), step_(step) {}

  pg::SysResult<std::size_t> read(void* dst, std::size_t n) override {
    clock_ += step_;
    char* out = static_cast<char*>(dst);
    const std::int64_t want = std::min<std::int64_t>(static_cast<std::int64_t>(n), size() - pos_);
    std::memset(out, 0, static_cast<std::size_t>(want));
    const std::int64_t framed = payload_ + 8;
    const auto len = static_cast<std::int32_t>(payload_);
    // The length words that overlap [pos_, pos_ + want).
    for (std::int64_t rec = pos_ / framed; rec * framed < pos_ + want; ++rec)
      for (const std::int64_t word : {rec * framed, rec * framed + 4 + payload_})
        for (int b = 0; b < 4; ++b) {
          const std::int64_t at = word + b - pos_;
          if (at >= 0 && at < want) out[at] = reinterpret_cast<const char*>(&len)[b];
        }
    pos_ += want;
    return static_cast<std::size_t>(want);
  }
  bool skip(std::int64_t n) override {
    clock_ += step_;
    pos_ += n;
    return true;
  }
  std::int64_t size() const override { return count_ * (payload_ + 8); }

 private:
  std::int64_t payload_, count_, pos_ = 0;
  double& clock_;
  double step_;
};

// Reads records the ways the reader does: items from the front, a large
// array straight into place, the rest passed over by a seek.
void read_records(DumpFile& f, int records) {
  static std::vector<double> array(1 << 20);
  for (int k = 0; k < records; ++k) {
    f.begin_record();
    (void)f.take<std::int32_t>();
    f.take_array(array.data(), static_cast<std::int64_t>(array.size()));
    f.end_record();
  }
}

// What a terminal shows of `text`: a carriage return moves back to the start
// of the line, characters overwrite, a newline ends the line. Returns the
// ended lines and, last, the line the cursor is on, without trailing blanks.
std::vector<std::string> screen(const std::string& text) {
  std::vector<std::string> lines{""};
  std::size_t col = 0;
  for (const char ch : text) {
    if (ch == '\r') {
      col = 0;
    } else if (ch == '\n') {
      lines.emplace_back();
      col = 0;
    } else {
      std::string& line = lines.back();
      if (col < line.size()) line[col] = ch; else line.push_back(ch);
      ++col;
    }
  }
  for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
  return lines;
}

// The frames drawn: the progress text after each carriage return (not the
// blanks of a wipe, nor a line written after one).
std::vector<std::string> frames(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while ((at = text.find('\r', at)) != std::string::npos) {
    const std::size_t next = text.find_first_of("\r\n", at + 1);
    std::string frame = text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    while (!frame.empty() && frame.back() == ' ') frame.pop_back();
    if (frame.starts_with("dump ")) out.push_back(frame);
    at = at + 1;
  }
  return out;
}

int percent_of(const std::string& frame) {
  static const std::regex form(R"(dump 3/7 big: ( {0,2}\d{1,3})% of 2\.0 GB(, (\d+ min )?\d+ s left)?)");
  std::smatch m;
  if (!std::regex_match(frame, m, form)) {
    ADD_FAILURE() << "not a progress frame: \"" << frame << "\"";
    return -1;
  }
  return std::stoi(m[1].str());
}

// The run's dumps: the third is the 2 GB one read here.
const std::vector<std::int64_t> sizes{1'000'000'000, 1'000'000'000, 40 * 50'000'008LL, 1, 1, 1, 1};

}  // namespace

TEST(RunProgress, RedrawsAFewTimesASecondWhileALargeDumpIsRead) {
  double now = 0;
  pgtest::StreamCapture drawn;  // progress is drawn on the captured console
  constexpr int records = 40;  // 40 x 50 MB
  DumpFile f(std::make_unique<LargeSource>(50'000'000, records, now, 0.03));
  {
    RunProgress progress(sizes, drawn.stream(), true, [&] { return now; });
    progress.begin(2, "big");
    f.set_progress_hook(progress.hook());
    read_records(f, records);
    EXPECT_EQ(f.offset(), 40 * 50'000'008LL);
    const std::string so_far = drawn.text();
    EXPECT_EQ(so_far.find('\n'), std::string::npos) << "the line ended before the read did";
    EXPECT_NE(so_far.find(" s left"), std::string::npos) << "no time left after " << now << " s";
    progress.end_dump();
  }
  const std::string text = drawn.text();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.front(), '\r');
  EXPECT_EQ(text.find('\n'), std::string::npos);
  // Wiped at the end: the terminal's line is blank, the cursor at its start.
  EXPECT_EQ(text.back(), '\r');
  EXPECT_EQ(screen(text).back().find_first_not_of(' '), std::string::npos) << text;

  const std::vector<std::string> all = frames(text);
  std::vector<int> percents;
  for (const std::string& fr : all) percents.push_back(percent_of(fr));
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  // Drawn during the read, not only at its end...
  EXPECT_GE(all.size(), 4u);
  // ...but not at every refill and seek: at most once per quarter second of
  // the read, plus the first and the final frame.
  EXPECT_LE(static_cast<double>(all.size()), now / RunProgress::min_interval + 2) << now << " s";
}

// A fault stops the read part way (the object goes without finish()), and
// trace lines come while the line is shown: none starts behind progress text.
TEST(RunProgress, NeverLeavesAHalfLineInFrontOfAnother) {
  double now = 0;
  pgtest::StreamCapture drawn;  // the trace and the progress on one terminal
  pg::StreamTrace trace(drawn.stream());
  DumpFile f(std::make_unique<LargeSource>(50'000'000, 40, now, 0.3));
  {
    RunProgress progress(sizes, drawn.stream(), true, [&] { return now; });
    progress.begin(2, "big");
    f.set_progress_hook(progress.hook());
    read_records(f, 5);
    trace.say(" a trace line");
    read_records(f, 5);
    trace.say(" another");
  }
  trace.say(" after the read");
  const std::string text = drawn.text();
  const int last = percent_of(frames(text).back());
  EXPECT_GE(last, 20);
  EXPECT_LT(last, 100);
  const std::vector<std::string> shown = screen(text);
  EXPECT_EQ(shown, (std::vector<std::string>{" a trace line", " another", " after the read", ""})) << text;
}

TEST(RunProgress, NothingForAQuickRunOrWhenOff) {
  for (const bool quick : {false, true}) {
    double now = 0;
    pgtest::StreamCapture drawn;
    // A quick run's reads are over before the first draw is due.
    DumpFile f(std::make_unique<LargeSource>(50'000'000, 40, now, quick ? 0.001 : 0.3));
    {
      RunProgress progress(sizes, drawn.stream(), /*enabled=*/quick, [&] { return now; });
      progress.begin(2, "big");
      f.set_progress_hook(progress.hook());
      read_records(f, 40);
      progress.end_dump();
    }
    EXPECT_EQ(drawn.text(), "") << (quick ? "a quick run" : "switched off");
  }
}
