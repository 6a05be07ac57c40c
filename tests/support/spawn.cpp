#include "tests/support/spawn.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/harness.hpp"

extern char** environ;

namespace pgtest {

namespace {

std::string name_of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// This process's environment with `mine` in place of the same names.
std::vector<std::string> environment_with(const std::vector<std::string>& mine) {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& m : mine) replaced = replaced || name_of(m) == name_of(entry);
    if (!replaced) out.push_back(entry);
  }
  out.insert(out.end(), mine.begin(), mine.end());
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Reads the terminal's side until the program and every copy of the slave
// side are gone (read then fails with EIO).
std::string drain(int master) {
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t got = ::read(master, buf, sizeof buf);
    if (got > 0) {
      text.append(buf, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    break;  // 0 or EIO: the other side is closed
  }
  return text;
}

}  // namespace

std::vector<std::string> ToolRun::out_lines() const { return split_lines(out); }

std::string build_bin_dir() { return std::filesystem::path(PHASEGRID_BIN).parent_path().string(); }

ToolRun run_program(const std::vector<std::string>& argv_in, const std::string& dir,
                    const std::string& input, const std::vector<std::string>& env, ErrTo err) {
  if (argv_in.empty()) throw std::invalid_argument("run_program: no program named");
  TempDir io;
  {
    std::ofstream(io.file("stdin"), std::ios::binary) << input;
  }
  int master = -1, slave = -1;
  if (err == ErrTo::terminal) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
      throw std::runtime_error(std::string("no pseudo-terminal: ") + std::strerror(errno));
    slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) throw std::runtime_error(std::string("no pseudo-terminal: ") + std::strerror(errno));
  }

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, io.file("stdin").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, io.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  switch (err) {
    case ErrTo::own_file:
      posix_spawn_file_actions_addopen(&fa, 2, io.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      break;
    case ErrTo::stdout_too: posix_spawn_file_actions_adddup2(&fa, 1, 2); break;
    case ErrTo::terminal: posix_spawn_file_actions_adddup2(&fa, slave, 2); break;
  }
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());

  std::vector<std::string> argv_s = argv_in, env_s = environment_with(env);
  std::vector<char*> argv = pointers(argv_s), envp = pointers(env_s);
  pid_t pid;
  const int rc = ::posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (slave >= 0) ::close(slave);
  if (rc != 0) {
    if (master >= 0) ::close(master);
    throw std::runtime_error("cannot start " + argv_s[0] + ": " + std::strerror(rc));
  }
  ToolRun r;
  if (master >= 0) {
    r.err = drain(master);
    ::close(master);
  }
  int wstatus = 0;
  struct rusage ru {};
  while (::wait4(pid, &wstatus, 0, &ru) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.max_rss_kb = ru.ru_maxrss;
  r.out = read_file(io.file("stdout"));
  if (err == ErrTo::own_file) r.err = read_file(io.file("stderr"));
  return r;
}

ToolRun run_tool(const std::string& dir, const std::string& input, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, ErrTo err) {
  std::vector<std::string> argv = {PHASEGRID_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, dir, input, env, err);
}

ToolRun run_mkdump(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {MKDUMP_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

int wait_for(int pid, double seconds) {
  int ws = 0;
  for (double waited = 0; waited < seconds; waited += 0.01, ::usleep(10000))
    if (::waitpid(pid, &ws, WNOHANG) == pid) return ws;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &ws, 0);
  return -1;
}

int start_tool(const std::string& dir, const std::string& input, const std::string& output,
               const std::vector<std::string>& args) {
  std::vector<std::string> argv = {PHASEGRID_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> c_argv;
  for (std::string& a : argv) c_argv.push_back(a.data());
  c_argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(120);
    const int in = ::open(input.c_str(), O_RDONLY);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) ::_exit(121);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::execv(PHASEGRID_BIN, c_argv.data());
    ::_exit(122);
  }
  return pid;
}

}  // namespace pgtest
