#include "tests/bot_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tests/test_support.h"

namespace corvane {
namespace testing_support {

BotProcess::BotProcess(const std::string& program, const std::string& folder, const std::string& tag)
    : pid_(-1), stdoutPath_(folder + tag + ".stdout"), stderrPath_(folder + tag + ".stderr") {
  pid_ = fork();
  if (pid_ != 0) return;
  int out = open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int in = open("/dev/null", O_RDONLY);
  if (out < 0 || err < 0 || in < 0 || chdir(folder.c_str()) != 0) _exit(127);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  // Nothing of the test process (the server's sockets) reaches the program.
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
  char* const envp[] = {nullptr};
  execve(program.c_str(), argv, envp);
  _exit(127);
}

BotProcess::~BotProcess() {
  Stop();
  unlink(stdoutPath_.c_str());
  unlink(stderrPath_.c_str());
}

int BotProcess::Wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pid_ > 0) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

bool BotProcess::Pause() {
  if (pid_ <= 0) return false;
  kill(pid_, SIGSTOP);
  int status = 0;
  if (waitpid(pid_, &status, WUNTRACED) != pid_) return false;
  paused_ = WIFSTOPPED(status);
  if (paused_) return true;
  pid_ = -1;  // it ended before the signal arrived
  return false;
}

void BotProcess::Resume() {
  if (pid_ > 0 && paused_) kill(pid_, SIGCONT);
  paused_ = false;
}

void BotProcess::Stop() {
  if (pid_ <= 0) return;
  // Only a paused program is continued, and before the stop: a SIGCONT that
  // comes while a program ends discards the SIGSTOP with which its
  // LeakSanitizer (in the sanitizer builds) suspends it at exit, and the
  // program then waits for that stop for ever.
  Resume();
  kill(pid_, kStopSignal);
  // A stop ends the program within its own bound (10 s of waiting for
  // answers, scaled down in the test builds); one that does not is told,
  // with what the program printed, instead of holding the test for ever.
  Wait(std::chrono::seconds(60));
  if (pid_ <= 0) return;
  std::fprintf(stderr, "the program did not end within 60 s of its stop; it printed:\n%s\n%s\n",
               Stdout().c_str(), Stderr().c_str());
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  std::abort();
}

std::string BotProcess::Stdout() const { return ReadFile(stdoutPath_); }
std::string BotProcess::Stderr() const { return ReadFile(stderrPath_); }

}  // namespace testing_support
}  // namespace corvane
