// SPDX-License-Identifier: Apache-2.0
// A kovview server started by a test: a child process in the test's own
// directory, standard input explicit, listening on 127.0.0.1; always killed
// (its whole process group) when the test ends.
#ifndef KOV_TESTS_APP_KOVVIEW_SERVER_H
#define KOV_TESTS_APP_KOVVIEW_SERVER_H

#include "test_util.h"

#include <httplib.h>

#include <chrono>
#include <csignal>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace kovtest {

class ViewServer {
public:
  // Runs `script` with sh in `dir`; it should end by exec'ing $kovview,
  // which names the program.  Waits up to 60 s for the address line.
  ViewServer(const TempDir &dir, const std::string &script,
             const std::string &stdin_path = "/dev/null")
      : out_(dir / "kovview.out"), err_(dir / "kovview.err") {
    const std::string full = "cd '" + dir.path().string() + "' && export DATAPATH='" + (dir / "") +
                             "' && kovview='" KOV_KOVVIEW "' && velmodel='" KOV_VELMODEL "' && " +
                             script;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const char *argv[] = {"/bin/sh", "-c", full.c_str(), nullptr};
    if (posix_spawn(&pid_, "/bin/sh", &actions, &attr, const_cast<char **>(argv), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (pid_ > 0 && std::chrono::steady_clock::now() < until) {
      const std::string text = read_file(out_);
      const std::size_t at = text.find("kovview: open http://127.0.0.1:");
      if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
        const std::size_t p = at + std::string("kovview: open http://127.0.0.1:").size();
        port_ = std::stoi(text.substr(p));
        // http://127.0.0.1:<port>/<token>/
        const std::size_t t = text.find('/', p) + 1;
        token_ = text.substr(t, text.find('/', t) - t);
        break;
      }
      if (exited()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ViewServer(const ViewServer &) = delete;
  ViewServer &operator=(const ViewServer &) = delete;
  ~ViewServer() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(-pid_, SIGKILL);
      int raw = 0;
      ::waitpid(pid_, &raw, 0);
    }
  }

  bool ready() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string &token() const { return token_; }
  std::string errors() const { return read_file(err_); }
  std::string output() const { return read_file(out_); }

  // A client of the server, with a short time-out.
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_connection_timeout(5);
    c.set_read_timeout(30);
    return c;
  }
  // GET `path` with the token added.
  httplib::Result get(const std::string &path) const {
    return client().Get(path + (path.find('?') == std::string::npos ? "?" : "&") +
                        "token=" + token_);
  }

  // Whether the process ended; its exit status then in `status()`.
  bool exited() {
    if (status_ >= 0) return true;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return true;
    }
    return false;
  }
  // Waits up to `seconds` for the end; the exit status, or -1.
  int wait(int seconds) {
    for (int i = 0; i < seconds * 50; ++i) {
      if (exited()) return status_;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

private:
  std::string out_, err_;
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = -1;
  std::string token_;
};

} // namespace kovtest

#endif
