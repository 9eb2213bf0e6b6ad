#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

extern char **environ;

namespace {

bool would_block(ssize_t n) {
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// The test process ignores SIGPIPE (a child that stops reading must not kill it); its children
// get the default back.
void ignore_sigpipe() {
    static const bool ignored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)ignored;
}

// The pseudo-terminal's two ends, both closed on exec; false when the host has none.
bool open_terminal(int &controller, int &terminal) {
    controller = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controller < 0) return false;
    const char *name =
        grantpt(controller) == 0 && unlockpt(controller) == 0 ? ptsname(controller) : nullptr;
    terminal = name != nullptr ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (terminal >= 0) return true;
    ::close(controller);
    return false;
}

} // namespace

void Child::Fd::reset(int fd) {
    close();
    fd_ = fd;
}

void Child::Fd::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Child::make_pipes(Fd &in_read, Fd &out_write, Fd &err_write) {
    ignore_sigpipe();
    for (auto [read_end, write_end] :
         {std::pair{&in_read, &in_}, std::pair{&out_, &out_write}, std::pair{&err_, &err_write}}) {
        if (read_end->open() || write_end->open()) continue; // the terminal, already there
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            start_error_ = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
        read_end->reset(fds[0]);
        write_end->reset(fds[1]);
    }
    return true;
}

Child::Child(const std::vector<std::string> &argv, const std::string &folder, bool terminal) {
    if (argv.empty()) {
        start_error_ = std::string("no command: ") + std::strerror(EINVAL);
        return;
    }
    Fd in_read, out_write, err_write;
    if (terminal) {
        int controller, end;
        if (!open_terminal(controller, end)) {
            start_error_ = std::string("no pseudo-terminal: ") + std::strerror(errno);
            return;
        }
        out_.reset(controller);
        out_write.reset(end);
    }
    if (!make_pipes(in_read, out_write, err_write)) return;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    int spawned = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        pid_ = -1;
        start_error_ = "cannot start " + argv[0] + (folder.empty() ? "" : " in " + folder) + ": " +
                       std::strerror(spawned);
    }
}

Child::Child(const std::function<int()> &body) {
    Fd in_read, out_write, err_write;
    if (!make_pipes(in_read, out_write, err_write)) return;
    pid_ = fork();
    if (pid_ < 0) {
        start_error_ = std::string("fork: ") + std::strerror(errno);
        return;
    }
    if (pid_ == 0) {
        dup2(in_read.get(), 0);
        dup2(out_write.get(), 1);
        dup2(err_write.get(), 2);
        for (Fd *fd : {&in_read, &out_write, &err_write, &in_, &out_, &err_}) fd->close();
        ::signal(SIGPIPE, SIG_DFL);
        _exit(body());
    }
}

Child::~Child() {
    signal(SIGKILL);
    while (pid_ > 0 && waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void Child::reaped(int status) {
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

const std::string &Child::read_until(Fd &from, std::string &sink, std::string_view text,
                                     std::chrono::milliseconds limit) {
    auto end = Clock::now() + limit;
    size_t unsearched = 0; // `text` can't start before this: long outputs are searched once
    auto arrived = [&] {
        if (text.data() == nullptr) return false; // read_for: until the time is up
        if (sink.find(text, unsearched) != std::string::npos) return true;
        unsearched = sink.size() >= text.size() ? sink.size() - text.size() + 1 : 0;
        return false;
    };
    while (from.open() && !arrived() && Clock::now() < end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd p{from.get(), POLLIN, 0};
        int ready = poll(&p, 1, int(std::max<int64_t>(left.count(), 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[65536];
        ssize_t n = ::read(from.get(), buffer, sizeof buffer);
        if (n > 0)
            sink.append(buffer, size_t(n));
        else if (!would_block(n))
            from.close(); // the end, or a terminal whose other side has gone (EIO)
    }
    return sink;
}

const std::string &Child::read_until(std::string_view text, std::chrono::milliseconds limit) {
    return read_until(out_, out_text_, text, limit);
}

void Child::read_for(std::chrono::milliseconds limit) {
    read_until(out_, out_text_, std::string_view(), limit);
}

const std::string &Child::read_err_until(std::string_view text, std::chrono::milliseconds limit) {
    return read_until(err_, err_text_, text, limit);
}

void Child::send(std::string_view text) {
    if (in_.open()) (void)!::write(in_.get(), text.data(), text.size());
}

void Child::close_input() {
    in_.close();
}

void Child::close_output() {
    out_.close();
}

void Child::signal(int number) {
    if (pid_ > 0) kill(pid_, number); // never kill(-1) or a reaped pid: either may reach others
}

// Looks without pause: a system call may take only a moment.
bool Child::wait_in_system_call(std::initializer_list<long> calls,
                                std::chrono::milliseconds limit) const {
    std::string file = "/proc/" + std::to_string(pid_) + "/syscall";
    for (auto end = Clock::now() + limit; pid_ > 0 && Clock::now() < end;) {
        long number = -1;
        std::ifstream(file) >> number;
        for (long call : calls)
            if (number == call) return true;
        std::this_thread::yield();
    }
    return false;
}

int Child::wait(std::chrono::milliseconds limit) {
    for (auto end = Clock::now() + limit; pid_ > 0;) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped(status);
            break;
        }
        if (Clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

Finished Child::finish(const std::string &input) {
    Finished f;
    if (!start_error_.empty()) {
        f.err = "run_command: " + start_error_;
        return f;
    }
    size_t written = 0;
    if (input.empty()) in_.close();
    for (Fd *fd : {&in_, &out_, &err_})
        if (fd->open()) fcntl(fd->get(), F_SETFL, fcntl(fd->get(), F_GETFL) | O_NONBLOCK);
    Fd *readers[2] = {&out_, &err_};
    std::string *sinks[2] = {&out_text_, &err_text_};
    while (in_.open() || out_.open() || err_.open()) {
        pollfd fds[3] = {{in_.get(), POLLOUT, 0},
                         {out_.get(), POLLIN, 0},
                         {err_.get(), POLLIN, 0}}; // poll skips negative descriptors
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            err_text_ += std::string("run_command: poll: ") + std::strerror(errno);
            break; // the descriptors close below: the child must not block on them
        }
        if (fds[0].revents & (POLLERR | POLLHUP)) {
            in_.close(); // the child stopped reading; the rest of the input is dropped
        } else if (fds[0].revents & POLLOUT) {
            ssize_t n = ::write(in_.get(), input.data() + written, input.size() - written);
            if (n > 0) written += size_t(n);
            if (written == input.size() || (n < 0 && !would_block(n))) in_.close();
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i + 1].revents == 0) continue;
            char buffer[65536];
            ssize_t n = ::read(readers[i]->get(), buffer, sizeof buffer);
            if (n > 0)
                sinks[i]->append(buffer, size_t(n));
            else if (!would_block(n))
                readers[i]->close();
        }
    }
    in_.close();
    out_.close();
    err_.close();
    int status = 0;
    while (pid_ > 0) {
        if (waitpid(pid_, &status, 0) == pid_)
            reaped(status);
        else if (errno != EINTR) {
            pid_ = -1; // not ours to wait for, nor to signal
            return {-1, out_text_, err_text_ + "run_command: waitpid: " + std::strerror(errno)};
        }
    }
    return {status_, out_text_, err_text_};
}

Finished run_command(const std::vector<std::string> &argv, const std::string &input,
                     const std::string &folder) {
    return Child(argv, folder).finish(input);
}
