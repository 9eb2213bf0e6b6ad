// Child processes of tests, all started here: run_command runs a command to its end; Child
// keeps one running while the test talks to it, and signals it. Input and output move at the
// same time, so neither size is limited.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

struct Finished {
    int status = -1; // exit status, or 128 + signal; -1 when it could not run (err says why)
    std::string out, err;
};

// argv[0] is the program's path; `folder`, when given, is its working folder.
Finished run_command(const std::vector<std::string> &argv, const std::string &input = "",
                     const std::string &folder = "");

// A child the test talks to while it runs: stdin and stderr on pipes, stdout on a pipe or a
// pseudo-terminal. Only this child is ever signalled, and only until it has been reaped; one
// still running when the object goes is killed and reaped.
class Child {
  public:
    using Clock = std::chrono::steady_clock;

    // Runs argv[0] (a path), in `folder` when given; finish() says why when it cannot start.
    explicit Child(const std::vector<std::string> &argv, const std::string &folder = "",
                   bool terminal = false);
    // Runs `body` in a forked copy of this process, which then ends with body's result.
    explicit Child(const std::function<int()> &body);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; } // -1 once reaped, or when it never started

    // Reads stdout (stderr) until what arrived holds `text` or `limit` has passed; gives all
    // that arrived so far.
    const std::string &read_until(std::string_view text, std::chrono::milliseconds limit);
    const std::string &read_err_until(std::string_view text, std::chrono::milliseconds limit);
    // Reads stdout until `limit` has passed or it ends, without looking at what arrives.
    void read_for(std::chrono::milliseconds limit);
    void send(std::string_view text);
    void close_input();
    void close_output(); // the child's next write to stdout fails (SIGPIPE)
    void signal(int number);
    // Waits until the child is inside one of these system calls, as /proc/PID/syscall shows;
    // false when `limit` passes first.
    bool wait_in_system_call(std::initializer_list<long> calls,
                             std::chrono::milliseconds limit) const;
    // The exit status (128 + signal), or -1 when it has not ended within `limit`.
    int wait(std::chrono::milliseconds limit);
    // Writes `input` and closes stdin while reading both outputs to their end, then waits:
    // everything the child wrote, and its status.
    Finished finish(const std::string &input = "");

  private:
    class Fd {
      public:
        Fd() = default;
        ~Fd() { close(); }
        Fd(const Fd &) = delete;
        Fd &operator=(const Fd &) = delete;
        int get() const { return fd_; }
        bool open() const { return fd_ >= 0; }
        void reset(int fd);
        void close();

      private:
        int fd_ = -1;
    };
    bool make_pipes(Fd &in_read, Fd &out_write, Fd &err_write);
    void reaped(int status);
    const std::string &read_until(Fd &from, std::string &sink, std::string_view text,
                                  std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int status_ = -1;
    std::string start_error_;
    Fd in_, out_, err_;
    std::string out_text_, err_text_;
};
