#include "testing/program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace quillfen::testing {

Program::Program(const std::string& path, const ProgramSetup& setup) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view e = *entry;
    bool changed = false;
    for (const std::string& change : setup.environment) {
      if (e.starts_with(change.substr(0, change.find('=')) + "=")) {
        changed = true;
      }
    }
    if (!changed) env.emplace_back(e);
  }
  for (const std::string& change : setup.environment) {
    if (change.find('=') != std::string::npos) env.push_back(change);
  }
  std::vector<std::string> args = setup.args;
  args.insert(args.begin(), path);
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string out = files_.PathOf("out"), err = files_.PathOf("err");

  pid_ = fork();
  if (pid_ != 0) return;
  // Only async-signal-safe calls from here: the test may run threads.
  // A group of its own, so that whatever it starts goes with it.
  setpgid(0, 0);
  int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out_fd < 0 || err_fd < 0 || dup2(out_fd, STDOUT_FILENO) < 0 ||
      dup2(err_fd, STDERR_FILENO) < 0) {
    _exit(127);
  }
  if (setup.file_size_limit) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, nullptr);
    rlimit limit = {*setup.file_size_limit, *setup.file_size_limit};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
  }
  if (setup.descriptor_limit) {
    rlimit limit = {*setup.descriptor_limit, *setup.descriptor_limit};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(127);
  }
  execve(path.c_str(), argv.data(), envp.data());
  _exit(127);
}

Program::~Program() {
  if (pid_ <= 0) return;
  // Its whole group: a tool or bus it left running must not outlive the
  // test.
  kill(-pid_, SIGKILL);
  if (!wait_status_) waitpid(pid_, nullptr, 0);
  while (waitpid(-pid_, nullptr, WNOHANG) > 0) {
  }
}

bool Program::Ended() {
  if (wait_status_) return true;
  int status;
  if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
    wait_status_ = status;
  }
  return wait_status_.has_value();
}

bool Program::WaitFor(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!Ended()) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
      wait_status_ = status;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

int Program::exit_status() const {
  return wait_status_ && WIFEXITED(*wait_status_) ? WEXITSTATUS(*wait_status_)
                                                  : -1;
}

int Program::signal() const {
  return wait_status_ && WIFSIGNALED(*wait_status_) ? WTERMSIG(*wait_status_)
                                                    : 0;
}

std::string Program::out() const { return FileContent(files_.PathOf("out")); }
std::string Program::err() const { return FileContent(files_.PathOf("err")); }

std::string FileContent(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace quillfen::testing
