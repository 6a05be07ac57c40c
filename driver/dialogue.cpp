#include "driver/dialogue.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "base/trace.hpp"
#include "base/error.hpp"

namespace pg {

namespace {

[[noreturn]] void bad_answer(const std::string& why) { throw Error(FaultKind::bad_answer, why); }

bool is_separator(char c) { return c == ' ' || c == ',' || c == '\t' || c == '\r'; }

}  // namespace

std::string FreeFormatInput::line(const std::string& what) {
  std::string s;
  if (!std::getline(in_, s)) bad_answer(fmt::format("input ended before {} was read", what));
  if (s.ends_with('\r')) s.pop_back();  // answers typed on another system
  return s;
}

std::vector<std::string> FreeFormatInput::values(int n, const std::string& what) {
  std::vector<std::string> out;
  while (static_cast<int>(out.size()) < n) {
    const std::string s = line(what);
    std::size_t i = 0;
    while (i < s.size() && static_cast<int>(out.size()) < n) {
      while (i < s.size() && is_separator(s[i])) ++i;
      std::size_t j = i;
      while (j < s.size() && !is_separator(s[j])) ++j;
      if (j > i) out.emplace_back(s.substr(i, j - i));
      i = j;
    }
    // Whatever follows the last value wanted on this line is discarded.
  }
  return out;
}

std::int32_t FreeFormatInput::integer(const std::string& what) {
  const std::string v = values(1, what)[0];
  std::string_view t = v;
  if (t.starts_with('+')) t.remove_prefix(1);
  std::int32_t x = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), x);
  if (ec == std::errc::result_out_of_range && end == t.data() + t.size())
    bad_answer(fmt::format("the integer for {} is out of range (-2147483648 to 2147483647), read \"{}\"",
                           what, v));
  if (ec != std::errc() || end != t.data() + t.size() || t.empty())
    bad_answer(fmt::format("expected an integer for {}, read \"{}\"", what, v));
  return x;
}

std::vector<double> FreeFormatInput::reals(int n, const std::string& what) {
  std::vector<double> out;
  for (const std::string& v : values(n, what)) {
    std::string t = v;
    for (char& c : t)
      if (c == 'd' || c == 'D') c = 'e';
    // strtod also takes hexadecimal and "nan"/"inf"; a number here is decimal.
    const bool decimal = t.find_first_not_of("0123456789+-.eE") == std::string::npos;
    char* end = nullptr;
    errno = 0;
    const double x = decimal ? std::strtod(t.c_str(), &end) : 0.0;
    if (!decimal || end != t.c_str() + t.size() || t.empty())
      bad_answer(fmt::format("expected a real number for {}, read \"{}\"", what, v));
    if (std::isinf(x))
      bad_answer(fmt::format("the real number for {} is out of range (beyond 1.8e308), read \"{}\"", what, v));
    out.push_back(x);
  }
  return out;
}

std::string dump_name_of(const std::string& line) {
  std::string name = line.substr(0, 7);
  name.resize(7, ' ');
  return name;
}

Answers ask_questions(FreeFormatInput& in, Trace& trace) {
  Answers a;
  trace.say("Enter number of input files:");
  a.ndumps = in.integer("the number of input files");
  trace.say("Enter names of input files:");
  for (std::int32_t k = 1; k <= a.ndumps; ++k)
    a.dump_name.push_back(dump_name_of(in.line(fmt::format("the name of input file {}", k))));

  trace.line(
      "Do you want to centre on the centre of mass (m) or"
      " on the maximum density (d) or "
      " on a position (p) or "
      " on the most massive or xth sink (s,x) or not at all?");
  const std::string answer = in.line("the centring answer");
  a.centre_mode = answer.empty() ? ' ' : answer[0];
  if (a.centre_mode == 'x') a.sink_number = in.integer("the sink number");
  if (a.centre_mode == 'p') {
    const std::vector<double> p = in.reals(3, "the centre position (x, y, z)");
    a.centre_position = {p[0], p[1], p[2]};
  }

  trace.say("Undo rotating reference frame (0,1,2,3) ?");
  trace.say("    (3=1 but change velocities to rotating frame)");
  a.rotate_mode = in.integer("the rotating-frame answer");
  if (a.rotate_mode != 0) {
    trace.say("Enter rotation frequency (sec) ?");
    a.rotation_frequency = in.reals(1, "the rotation frequency")[0];
  }
  return a;
}

}  // namespace pg
