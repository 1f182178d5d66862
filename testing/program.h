// Test support: one of the built programs run as a child process, with a
// changed environment and, optionally, a file size limit, its standard
// output and error kept in files. Never left behind: the destructor kills
// and reaps a program that is still running. For one test's thread.
#ifndef QUILLFEN_TESTING_PROGRAM_H_
#define QUILLFEN_TESTING_PROGRAM_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "testing/temp_tree.h"

namespace quillfen::testing {

struct ProgramSetup {
  explicit ProgramSetup(std::vector<std::string> program_args,
                        std::vector<std::string> environment_changes = {})
      : args(std::move(program_args)),
        environment(std::move(environment_changes)) {}

  std::vector<std::string> args;
  // "NAME=value" sets a variable, "NAME" removes it; the rest of this
  // process's environment is passed on.
  std::vector<std::string> environment;
  // RLIMIT_FSIZE for the program and everything it starts, which then see
  // EFBIG where a full disk would say ENOSPC, instead of being killed.
  std::optional<std::size_t> file_size_limit;
  // RLIMIT_NOFILE, soft and hard, so that the program can't raise it.
  std::optional<std::size_t> descriptor_limit;
};

class Program {
 public:
  // Starts |path|; a program that can't be started exits with status 127.
  Program(const std::string& path, const ProgramSetup& setup);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }
  // Whether it has ended (it is then reaped).
  bool Ended();
  // Waits up to |limit| for it to end, then kills it. Answers whether it
  // ended by itself.
  bool WaitFor(std::chrono::milliseconds limit);

  // Its exit status, or -1 while it runs or when a signal ended it.
  int exit_status() const;
  // The signal that ended it, or 0.
  int signal() const;
  std::string out() const;
  std::string err() const;

 private:
  TempTree files_;
  pid_t pid_ = -1;
  std::optional<int> wait_status_;
};

// The whole content of the file at |path| ("" when it can't be read).
std::string FileContent(const std::string& path);

}  // namespace quillfen::testing

#endif  // QUILLFEN_TESTING_PROGRAM_H_
