#include "tests/support/spawn.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

// Reads the terminal's side until the program and every copy of the slave
// side are gone (read then fails with EIO).
std::string drain(int master) {
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t got = ::read(master, buf, sizeof buf);
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

std::string build_bin_dir() { return std::filesystem::path(PHASEGRID_BIN).parent_path().string(); }

ProgramRun run_program(const std::string& dir, const std::vector<std::string>& argv_in,
                       const std::string& input, const std::vector<std::string>& env,
                       bool err_on_terminal) {
  TempDir io;
  {
    std::ofstream(io.file("stdin"), std::ios::binary) << input;
  }
  int master = -1, slave = -1;
  if (err_on_terminal) {
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
  if (err_on_terminal)
    posix_spawn_file_actions_adddup2(&fa, slave, 2);
  else
    posix_spawn_file_actions_addopen(&fa, 2, io.file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());

  std::vector<std::string> argv_s = argv_in;
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_s;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& mine : env) replaced = replaced || name_of(mine) == name_of(entry);
    if (!replaced) env_s.push_back(entry);
  }
  env_s.insert(env_s.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : env_s) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid;
  const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (slave >= 0) ::close(slave);
  if (rc != 0) {
    if (master >= 0) ::close(master);
    throw std::runtime_error("cannot start " + argv_s[0] + ": " + std::strerror(rc));
  }
  ProgramRun r;
  if (master >= 0) {
    r.err = drain(master);
    ::close(master);
  }
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = read_file(io.file("stdout"));
  if (!err_on_terminal) r.err = read_file(io.file("stderr"));
  return r;
}

}  // namespace pgtest
