#pragma once
// Running the built `quorvane` and `quorvane-fake-provider` programs as child processes. The
// children inherit the test's environment, whose data folders the test main points at a fresh
// temporary folder, so every test has its own keychain, settings, stores and fake provider file.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <httplib.h>

extern char** environ;

namespace quorvane::test {

class ChildProcess {
public:
    // terminalInput: standard input is a terminal of the test's (nothing is typed on it).
    // keepErrorWriteEnd: the test keeps a descriptor of the child's standard error description
    // (errorWriteEnd()), as a shell keeps its terminal; wait() then never sees it closed.
    explicit ChildProcess(std::vector<std::string> argv, bool terminalInput = false, bool keepErrorWriteEnd = false) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (terminalInput && (terminal_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) >= 0 &&
            ::grantpt(terminal_) == 0 && ::unlockpt(terminal_) == 0)
            posix_spawn_file_actions_addopen(&actions, 0, ::ptsname(terminal_), O_RDWR | O_NOCTTY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (keepErrorWriteEnd) errWrite_ = err[1];
        else ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~ChildProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
        if (errWrite_ >= 0) ::close(errWrite_);
        if (terminal_ >= 0) ::close(terminal_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output, waiting up to the deadline; "" when none came.
    std::string readLine(double seconds = 60) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            if (size_t nl = stdout_.find('\n'); nl != std::string::npos) {
                std::string line = stdout_.substr(0, nl);
                stdout_.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !pump(int(left.count()))) return "";
        }
    }
    // Waits until standard error holds the text; false when the deadline passed or the child closed it first.
    bool waitForError(const std::string& text, double seconds = 120) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (stderr_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !pump(int(left.count()))) return false;
        }
        return true;
    }
    void signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    // Waits for the end and answers the exit code (128 + signal for a killed child).
    // A child that never started answers 127, as a shell does.
    int wait() {
        if (pid_ <= 0) return 127;
        while (pump(-1)) {
        }
        int status = 0;
        ::waitpid(pid_, &status, 0);
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Bytes the child wrote to standard error that the test has not read yet.
    size_t unreadErrorBytes() const {
        int n = 0;
        return ::ioctl(err_, FIONREAD, &n) == 0 ? size_t(n) : 0;
    }
    // Waits for the end without reading what the child writes (a child blocked on a full pipe
    // stays blocked), then reads it all; -1 when the child did not end within the deadline.
    int waitUnread(double seconds) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            ::poll(nullptr, 0, 20);
        }
        exited_ = true;
        while (pump(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int errorWriteEnd() const { return errWrite_; }
    pid_t pid() const { return pid_; }
    const std::string& out() const { return stdout_; }
    const std::string& err() const { return stderr_; }

private:
    // Reads what either pipe has; false when both are closed or the wait timed out.
    bool pump(int timeoutMs) {
        // A pipe already closed is not polled again (it would report its end for ever).
        pollfd fds[2] = {{outClosed_ ? -1 : out_, POLLIN, 0}, {errClosed_ ? -1 : err_, POLLIN, 0}};
        if (outClosed_ && errClosed_) return false;
        if (::poll(fds, 2, timeoutMs) <= 0) return false;
        char buffer[4096];
        if (!outClosed_ && fds[0].revents) {
            ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n > 0) stdout_.append(buffer, size_t(n));
            else outClosed_ = true;
        }
        if (!errClosed_ && fds[1].revents) {
            ssize_t n = ::read(err_, buffer, sizeof buffer);
            if (n > 0) stderr_.append(buffer, size_t(n));
            else errClosed_ = true;
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1, terminal_ = -1, errWrite_ = -1;
    bool outClosed_ = false, errClosed_ = false, exited_ = false;
    std::string stdout_, stderr_;
};

struct CommandResult {
    int code = -1;
    std::string out, err;
};

// Runs `quorvane ARGS` to its end.
inline CommandResult quorvane(std::vector<std::string> args) {
    args.insert(args.begin(), QUORVANE_BINARY);
    ChildProcess child(std::move(args));
    CommandResult r;
    r.code = child.wait();
    r.out = child.out();
    r.err = child.err();
    return r;
}

// The fake provider program, running while the object lives; its root once it is ready.
class FakeProviderProcess {
public:
    explicit FakeProviderProcess(std::vector<std::string> args = {}) {
        args.insert(args.begin(), QUORVANE_FAKE_PROVIDER_BINARY);
        child_ = std::make_unique<ChildProcess>(std::move(args));
        root_ = child_->readLine();
    }
    ~FakeProviderProcess() {
        if (child_) {
            child_->signal(SIGTERM);
            child_->wait();
        }
    }
    const std::string& root() const { return root_; }
    ChildProcess& child() { return *child_; }

private:
    std::unique_ptr<ChildProcess> child_;
    std::string root_;
};

// Does what a browser does with the sign-in address the command printed: opens the provider's
// page (which answers at once with a redirect to the command's loopback listener) and follows
// that redirect, first changed by `edit` when given (a forged answer). Answers the listener's status.
inline int completeSignInInBrowser(const std::string& address, const std::string& caFile,
                                   const std::function<std::string(std::string)>& edit = nullptr) {
    auto split = [](const std::string& url, std::string* base, std::string* rest) {
        size_t slash = url.find('/', url.find("://") + 3);
        *base = url.substr(0, slash);
        *rest = slash == std::string::npos ? "/" : url.substr(slash);
    };
    std::string base, path;
    split(address, &base, &path);
    httplib::Client provider(base);
    provider.set_ca_cert_path(caFile.c_str());
    auto page = provider.Get(path);
    if (!page || page->status != 302) return page ? page->status : -1;
    std::string location = page->get_header_value("Location");
    split(edit ? edit(location) : location, &base, &path);
    httplib::Client listener(base);
    auto answer = listener.Get(path);
    return answer ? answer->status : -1;
}

}  // namespace quorvane::test
