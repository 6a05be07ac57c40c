#include "tests/support/harness.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/console.hpp"
#include "base/stop.hpp"
#include "dump/rdump.hpp"
#include "state/store.hpp"

extern char** environ;

namespace pgtest {

namespace {
// Every test program that reads dumps needs the store, as the tool does.
const bool store_ready = pg::store_init();
}  // namespace

ConsoleCapture::ConsoleCapture() {
  stream_ = open_memstream(&buf_, &len_);
  pg::set_console_stream(stream_);
}

ConsoleCapture::~ConsoleCapture() {
  pg::set_console_stream(nullptr);
  std::fclose(stream_);
  std::free(buf_);
}

std::string ConsoleCapture::text() {
  std::fflush(stream_);
  return std::string(buf_, len_);
}

std::vector<std::string> ConsoleCapture::lines() { return split_lines(text()); }

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::ptrdiff_t MemorySource::read(void* dst, std::size_t n) {
  ++reads;
  if (fail_at_ >= 0 && static_cast<std::int64_t>(pos_) >= fail_at_) {
    errno = EIO;
    return -1;
  }
  std::size_t k = std::min({n, max_chunk_, bytes_.size() - std::min(pos_, bytes_.size())});
  if (fail_at_ >= 0) k = std::min(k, static_cast<std::size_t>(fail_at_) - pos_);
  std::memcpy(dst, bytes_.data() + pos_, k);
  pos_ += k;
  return static_cast<std::ptrdiff_t>(k);
}

bool MemorySource::skip(std::int64_t n) {
  if (!seekable_) return false;
  pos_ += static_cast<std::size_t>(n);
  return true;
}

pg::DumpFile memory_dump(std::string bytes, std::size_t buffer, std::size_t max_chunk) {
  return pg::DumpFile(std::make_unique<MemorySource>(std::move(bytes), max_chunk), buffer);
}

bool ReadOutcome::has_line(const std::string& l) const {
  return std::find(lines.begin(), lines.end(), l) != lines.end();
}

ReadOutcome read_dump_bytes(const std::string& bytes) {
  if (!store_ready) throw std::runtime_error("the particle store could not be reserved");
  ReadOutcome o;
  ConsoleCapture cap;
  pg::DumpFile f = memory_dump(bytes, 256);
  try {
    pg::rdump(f, o.status);
  } catch (const pg::Stop&) {
    o.stopped = true;
  }
  o.end_offset = f.offset();
  o.lines = cap.lines();
  return o;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "phasegrid-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string TempDir::read(const std::string& name) const { return read_file(file(name)); }
bool TempDir::exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

std::vector<std::string> ToolRun::out_lines() const { return split_lines(out); }

ToolRun run_tool(const std::string& dir, const std::string& input,
                 const std::vector<std::string>& args, const std::vector<std::string>& env) {
  TempDir io;
  {
    std::ofstream(io.file("stdin"), std::ios::binary) << input;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, io.file("stdin").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, io.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, io.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());

  std::vector<std::string> argv_s = {PHASEGRID_BIN};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_s;
  for (char** e = environ; *e != nullptr; ++e) env_s.emplace_back(*e);
  env_s.insert(env_s.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) throw std::runtime_error(std::string("cannot start the tool: ") + std::strerror(rc));
  int wstatus = 0;
  struct rusage ru {};
  while (wait4(pid, &wstatus, 0, &ru) < 0 && errno == EINTR) {
  }
  ToolRun r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.max_rss_kb = ru.ru_maxrss;
  r.out = read_file(io.file("stdout"));
  r.err = read_file(io.file("stderr"));
  return r;
}

}  // namespace pgtest
