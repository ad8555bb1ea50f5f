// Runs one of the real programs as a child process in a folder of its own.
#ifndef CORVANE_TESTS_BOT_PROCESS_H_
#define CORVANE_TESTS_BOT_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>

namespace corvane {
namespace testing_support {

// The signal Stop() sends, and the name the program gives it in its stop
// line. Under wine (the Windows programs) SIGINT reaches the console control
// handler as Ctrl-C, and SIGTERM would end the process outright.
#ifdef CORVANE_UNDER_WINE
inline constexpr int kStopSignal = SIGINT;
inline constexpr const char* kStopSignalName = "Ctrl-C";
#else
inline constexpr int kStopSignal = SIGTERM;
inline constexpr const char* kStopSignalName = "SIGTERM";
#endif

class BotProcess {
 public:
  // Starts `program` with no arguments in `folder`; its standard output and
  // error go to files beside the folder, so they are not among its files.
  // Programs started in the same folder need different `tags`.
  BotProcess(const std::string& program, const std::string& folder, const std::string& tag = "");
  // Ends the program if it still runs.
  ~BotProcess();
  BotProcess(const BotProcess&) = delete;
  BotProcess& operator=(const BotProcess&) = delete;

  // Waits up to `timeout` for the program to end by itself. Returns its exit
  // status, or -1 if it still runs (or was ended by a signal).
  int Wait(std::chrono::milliseconds timeout);

  // Ends the program (kStopSignal) and waits for it: at most 60 s, after
  // which it prints what the program printed, kills it and aborts.
  void Stop();

  // Stops the program where it is (SIGSTOP) and waits until it has stopped;
  // false when it has already ended.
  bool Pause();
  // Lets a program that Pause() stopped go on (SIGCONT).
  void Resume();

  bool Running() const { return pid_ > 0; }
  // The program's process id; -1 once it has ended and was waited for.
  pid_t pid() const { return pid_; }
  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t pid_;
  bool paused_ = false;  // by Pause(), until Resume()
  std::string stdoutPath_;
  std::string stderrPath_;
};

}  // namespace testing_support
}  // namespace corvane

#endif  // CORVANE_TESTS_BOT_PROCESS_H_
