#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

namespace {

// A descriptor closed when it goes out of scope.
class Fd {
  public:
    Fd() = default;
    ~Fd() { close(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

bool make_pipe(Fd &read_end, Fd &write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
}

Finished failure(const std::string &what, int error) {
    Finished f;
    f.err = "run_command: " + what + ": " + std::strerror(error);
    return f;
}

bool would_block(ssize_t n) {
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

// Feeds `input` to `to_child` while draining both outputs, until all three are closed.
void exchange(Fd &to_child, const std::string &input, Fd &from_out, Fd &from_err, Finished &f) {
    size_t written = 0;
    if (input.empty()) to_child.close();
    for (Fd *fd : {&to_child, &from_out, &from_err})
        if (fd->open()) fcntl(fd->get(), F_SETFL, O_NONBLOCK);
    Fd *readers[2] = {&from_out, &from_err};
    std::string *sinks[2] = {&f.out, &f.err};
    while (to_child.open() || from_out.open() || from_err.open()) {
        pollfd fds[3] = {{to_child.get(), POLLOUT, 0},
                         {from_out.get(), POLLIN, 0},
                         {from_err.get(), POLLIN, 0}}; // poll skips negative descriptors
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            f.err += std::string("run_command: poll: ") + std::strerror(errno);
            return;
        }
        if (fds[0].revents & (POLLERR | POLLHUP)) {
            to_child.close(); // the child stopped reading; the rest of the input is dropped
        } else if (fds[0].revents & POLLOUT) {
            ssize_t n = write(to_child.get(), input.data() + written, input.size() - written);
            if (n > 0) written += size_t(n);
            if (written == input.size() || (n < 0 && !would_block(n))) to_child.close();
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i + 1].revents == 0) continue;
            char buffer[65536];
            ssize_t n = read(readers[i]->get(), buffer, sizeof buffer);
            if (n > 0)
                sinks[i]->append(buffer, size_t(n));
            else if (!would_block(n))
                readers[i]->close();
        }
    }
}

} // namespace

Finished run_command(const std::vector<std::string> &argv, const std::string &input,
                     const std::string &folder) {
    if (argv.empty()) return failure("no command", EINVAL);
    Fd in_read, in_write, out_read, out_write, err_read, err_write;
    if (!make_pipe(in_read, in_write) || !make_pipe(out_read, out_write) ||
        !make_pipe(err_read, err_write))
        return failure("pipe", errno);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);
    if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    // The test process ignores SIGPIPE (a child that stops reading must not kill it); the
    // child gets the default back.
    static const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)sigpipe_ignored;
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
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return failure("cannot start " + argv[0] + (folder.empty() ? "" : " in " + folder),
                       spawned);
    in_read.close();
    out_write.close();
    err_write.close();

    Finished f;
    exchange(in_write, input, out_read, err_read, f);
    in_write.close(); // all closed already, unless poll failed: then the child must not block
    out_read.close();
    err_read.close();
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno == EINTR) continue;
        return failure("waitpid", errno);
    }
    f.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return f;
}
