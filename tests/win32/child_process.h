// A child process of the tests, with its standard input and output on pipes: started from a
// program beside the test executable, read line by line, ended by closing its input.
#pragma once

#include <memory>
#include <string>

namespace r9::test {

// The folder of the running executable, with a trailing backslash.
std::string ExecutableFolder();

class ChildProcess {
 public:
  // Starts commandLine (the program's full path first, quoted where needed); Running() tells.
  explicit ChildProcess(const std::string& commandLine);
  ~ChildProcess();  // ends the child: closes its input, waits, kills it if it lingers
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Running() const;
  unsigned long ProcessId() const;
  // One line of the child's output, without its end. When none comes, why, in angle brackets
  // ("<ended with exit code 3>", "<no line within 20000 ms>"), so that a failed comparison says it.
  std::string ReadLine(unsigned timeoutMs = 20000);
  // Closes the child's input and waits for it to end; its exit code, or -1.
  int Finish(unsigned timeoutMs = 20000);

 private:
  // Why no line came, from the error that ended the read.
  std::string NoLine(unsigned long error);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace r9::test
