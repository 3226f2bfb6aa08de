// SPDX-License-Identifier: Apache-2.0
// Socket primitives, socket-out tags, the end-of-header handshake of piped
// headers, unpiping and the pipe test.  Every listener binds to 127.0.0.1
// or to a path in the test's directory; every wait is bounded.
#include "streaminf.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kovtest::fatal_exit;
using kovtest::set_args;
using kovtest::TempDir;

int open_descriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// A listener of the test on 127.0.0.1 with a port chosen by the system.
struct Listener {
  int fd = -1;
  std::string port;
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(fd, 5) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
      std::abort();
    port = std::to_string(ntohs(a.sin_port));
  }
  ~Listener() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

// A peer in a child process: accepts one connection (waiting at most 5 s),
// expects "GOTIT" with its NUL, answers `reply` (4 bytes) and exits 0 when
// the greeting was right.
pid_t serve_once(int listener, const char (&reply)[4]) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::alarm(10);
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, 5000) != 1) ::_exit(5);
  const int c = ::accept(listener, nullptr, nullptr);
  char got[6] = {};
  std::size_t n = 0;
  while (n < sizeof got) {
    const ssize_t k = ::read(c, got + n, sizeof got - n);
    if (k <= 0) break;
    n += static_cast<std::size_t>(k);
  }
  (void)!::write(c, reply, 4);
  ::_exit(n == 6 && std::memcmp(got, "GOTIT", 6) == 0 ? 0 : 6);
}

int exit_status_of(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Standard input becomes a pipe from a child that writes `text` and then
// exits, or kills itself to play a writer that dies.
pid_t pipe_stdin(const std::string &text, bool die = false) {
  int p[2];
  if (::pipe(p) != 0) std::abort();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(p[0]);
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t k = ::write(p[1], text.data() + done, text.size() - done);
      if (k <= 0) ::_exit(1);
      done += static_cast<std::size_t>(k);
    }
    if (die) ::kill(::getpid(), SIGKILL);
    ::_exit(0);
  }
  ::close(p[1]);
  ::dup2(p[0], STDIN_FILENO);
  ::close(p[0]);
  return pid;
}

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

std::string read_in(int n) {
  std::string buf(static_cast<std::size_t>(n), '\0');
  const int got = sreed("in", buf.data(), n);
  buf.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return buf;
}

const char kByteHeader[] = "n1=1\nin=stdin\ndata_format=native_byte\n";

// --- socket primitives -------------------------------------------------------

TEST(SocketPrimitives, ListenConnectAcceptAndStrings) {
  set_args({"prog", "sockhost=127.0.0.1"});
  const int before = open_descriptors();
  char port[16] = "0";
  const int l = opensock1(port, 0);
  ASSERT_GE(l, 0);
  EXPECT_TRUE(std::regex_match(port, std::regex("[1-9][0-9]*"))) << port;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ASSERT_EQ(::getsockname(l, reinterpret_cast<sockaddr *>(&a), &len), 0);
  EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_LOOPBACK)) << "bound to sockhost only";
  EXPECT_EQ(std::to_string(ntohs(a.sin_port)), port);

  const int c = opensock2("127.0.0.1", port);
  ASSERT_GE(c, 0);
  const int s = socklisten(l, 2);
  ASSERT_GE(s, 0);
  EXPECT_EQ(strput(c, "hello"), 1);
  EXPECT_EQ(strput(c, ""), 1);
  char buf[7] = "xxxxxx";
  EXPECT_EQ(strget(s, buf, 7, "greeting"), 5) << "5 characters and the NUL fit in 7 - 1";
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(strget(s, buf, 7, "greeting"), 0);
  for (int fd : {c, s, l}) ::close(fd);
  EXPECT_EQ(open_descriptors(), before);
}

TEST(SocketPrimitives, FailedConnectionsLeaveNoDescriptor) {
  Listener gone;
  const std::string port = gone.port;
  gone.close(); // nobody listens there now
  const int before = open_descriptors();
  testing::internal::CaptureStderr();
  EXPECT_EQ(opensock2("127.0.0.1", port.c_str()), -1);
  EXPECT_EQ(opensock2("127.0.0.1", std::string(255, '9').c_str()), -1) << "port text of 255";
  EXPECT_EQ(opensock2("unix", std::string(300, 'p').c_str()), -1) << "path too long";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            " server not responding on 127.0.0.1 \n server not responding on 127.0.0.1 \n"
            " server not responding on " +
                std::string(300, 'p') + " \n");
  EXPECT_EQ(open_descriptors(), before);
}

void probe_handler(int) {}

TEST(SocketPrimitives, WaitEndsAtTheAlarmAndRestoresHandlerAndMask) {
  Listener l;
  struct sigaction probe {};
  probe.sa_handler = probe_handler;
  sigemptyset(&probe.sa_mask);
  ASSERT_EQ(::sigaction(SIGALRM, &probe, nullptr), 0);
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &usr1, nullptr);

  EXPECT_EQ(socklisten(l.fd, 1), -1) << "nobody came within a second";
  struct sigaction now {};
  ::sigaction(SIGALRM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, &probe_handler);
  sigset_t mask;
  ::sigprocmask(SIG_BLOCK, nullptr, &mask);
  EXPECT_TRUE(sigismember(&mask, SIGUSR1));
  EXPECT_EQ(::alarm(0), 0u) << "no alarm left behind";

  // An alarm already pending (a reader that gave up early) ends even a
  // wait without limit at once.  Should it not, a late peer ends the wait
  // with a connection instead of a hang.
  const pid_t late = ::fork();
  if (late == 0) {
    ::sleep(2);
    (void)!opensock2("127.0.0.1", l.port.c_str());
    ::_exit(0);
  }
  sigset_t alarm_only;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  ::sigprocmask(SIG_BLOCK, &alarm_only, nullptr);
  ::raise(SIGALRM);
  EXPECT_EQ(socklisten(l.fd, 0), -1);
  ::kill(late, SIGKILL);
  ::waitpid(late, nullptr, 0);
}

TEST(SocketPrimitivesDeathTest, ExitStatusesOfTheFailureTable) {
  int s[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
  ASSERT_EQ(::write(s[0], "toolong", 8), 8);
  char buf[16];
  EXPECT_EXIT(strget(s[1], buf, 8, "word"), testing::ExitedWithCode(1), "^word too long\n$");
  ::close(s[0]);
  ::close(s[1]);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
  ::close(s[0]);
  EXPECT_EXIT(strget(s[1], buf, 8, "word"), testing::ExitedWithCode(1), "^$") << "end of stream";
  ::close(s[1]);

  // An unknown host is a peer that does not answer; the failures of a
  // listener are fatal like any other bad name.
  const std::string host(254, 'a');
  testing::internal::CaptureStderr();
  EXPECT_EQ(opensock2(host.c_str(), "1"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), host + ": unknown host\n");
  Listener taken;
  std::string port = taken.port;
  set_args({"prog", "sockhost=127.0.0.1"});
  EXPECT_EXIT(opensock1(port.data(), 0), fatal_exit(),
              "^prog: binding stream socket : Address already in use\n$");
  std::string path(200, 'p');
  EXPECT_EXIT(opensock1(path.data(), 1), fatal_exit(), "^prog: binding stream socket : ");
}

// Only the endpoint forms are sockets; any other name with a colon is a file.
TEST(SocketNames, EndpointFormsOnly) {
  for (const char *name :
       {"host:7001", "127.0.0.1:80", "unix:/tmp/s", ":7001", "::/tmp/s", "node7:7001\n", "h:65535"})
    EXPECT_EQ(kov_is_socket_name(name), 1) << name;
  for (const char *name :
       {"/d/run:2024-01-01T12:00/v.H", "run:2024-01-01T12:00/v.H", "a:b", "host:", ":",
        "::", "unix:", "h:65536", "h:12x", ":port", "a/b:80", "plain.H", "c:\\x"})
    EXPECT_EQ(kov_is_socket_name(name), 0) << name;
}

TEST(SocketNamesDeathTest, UnknownHostOfAHeaderIsFatalAtOnce) {
  const std::string host(254, 'a');
  set_args({"prog", "stdin=" + host + ":7001"});
  EXPECT_EXIT(tag_info("in", TAG_IN), fatal_exit(), "^prog: a{254}: unknown host\n$");
}

// --- socket-out tags -----------------------------------------------------------

TEST(SocketOutTag, PublishesAListenerByItsAddress) {
  set_args({"prog", "sockhost=127.0.0.1"});
  EXPECT_EQ(auxsockout("hff_out"), nullptr) << "no peer yet, no stream";
  streaminf *r = tag_info("hff_out", TAG_INQUIRE);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->entrytype, STREAMSOCKOUT);
  EXPECT_EQ(r->dataname, "follow_hdr");
  EXPECT_EQ(r->format_num, 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r->headername, m, std::regex("127\\.0\\.0\\.1:([0-9]+)\n")))
      << r->headername;
  const int c = opensock2("127.0.0.1", m[1].str().c_str());
  ASSERT_GE(c, 0);
  const int s = socklisten(r->sockfd, 2);
  EXPECT_GE(s, 0);
  ::close(s);
  ::close(c);
}

// --- the writer's side of the handshake ----------------------------------------

// (Children first: the command line is taken in once per process.)
TEST(PipesSyncout, NormalEndIntoAFileOrWhenAskedFor) {
  TempDir dir;
  const auto piped = kovtest::run_child([&] {
    set_args({"prog", "head=| cat > " + (dir / "sink"), "isoutstream=y", "noheader=y"});
    hclose();
    streaminf *o = tag_info("out", TAG_INQUIRE);
    const bool no_socket = o->sockfd == 0 && o->isapipe == 1;
    ::pclose(o->headfile);
    std::exit(no_socket ? 0 : 4);
  });
  EXPECT_EQ(piped.status, 0) << "isoutstream opens no socket";
  const std::string sink = kovtest::read_file(dir / "sink");
  EXPECT_TRUE(sink.ends_with("\"xdr_float\"\n\n\f\f\x04")) << sink;
  EXPECT_EQ(sink.find("PIPE"), std::string::npos);

  set_args({"prog", "head=" + (dir / "h.H"), "datapath=stdout", "noheader=y"});
  hclose();
  streaminf *out = tag_info("out", TAG_INQUIRE);
  EXPECT_EQ(out->sockfd, 0);
  const std::string text = kovtest::read_file(dir / "h.H");
  EXPECT_TRUE(text.ends_with("\"xdr_float\"\n\n\f\f\x04")) << text;
}

TEST(PipesSyncout, WriterWithoutAReaderWaitsOutTheTimeout) {
  TempDir dir;
  set_args(
      {"prog", "head=| cat > " + (dir / "sink"), "timeout=1", "sockhost=127.0.0.1", "noheader=y"});
  streaminf *out = tag_info("out", TAG_OUT);
  const int before = open_descriptors();
  hclose();
  EXPECT_EQ(out->sockfd, -1);
  EXPECT_EQ(open_descriptors(), before) << "the listener is closed after the wait";
  ::pclose(out->headfile);
  const std::string sink = kovtest::read_file(dir / "sink");
  char pid[16];
  std::snprintf(pid, sizeof pid, "%09d", static_cast<int>(::getpid()));
  EXPECT_TRUE(
      std::regex_search(sink, std::regex("data_format=\"xdr_float\"\nPIPE 127\\.0\\.0\\.1 [0-9]+ " +
                                         std::string(pid) + "\x04$")))
      << sink;
}

// --- the reader's side ------------------------------------------------------------

streaminf crafted(const std::string &text) {
  streaminf r;
  r.headerbuf = text;
  r.hdrlen = static_cast<int>(text.size());
  return r;
}

std::string own_pid() {
  char pid[16];
  std::snprintf(pid, sizeof pid, "%09d", static_cast<int>(::getpid()));
  return pid;
}

volatile std::sig_atomic_t alarmed = 0;
void note_alarm(int) { alarmed = 1; }

TEST(PipesSyncin, CraftedHeaderTexts) {
  streaminf normal = crafted("n1=5\n\f\f");
  syncin(&normal);
  EXPECT_EQ(*normal.headerbuf, "n1=5\n");
  EXPECT_EQ(normal.hdrlen, 5);

  for (const char *same : {"123456789", "x123456789", "n1=5 12345678x", "n1=5\n"}) {
    streaminf r = crafted(same);
    syncin(&r);
    EXPECT_EQ(*r.headerbuf, same);
    EXPECT_EQ(r.hdrlen, static_cast<int>(std::strlen(same)));
  }

  // A trailer too far back is no trailer: the writer is told at once.
  std::signal(SIGALRM, note_alarm);
  const std::string far = "n1=5\nPIPE 127.0.0.1 1 " + std::string(300, 'x') + " " + own_pid();
  streaminf r = crafted(far);
  syncin(&r);
  EXPECT_EQ(alarmed, 1);
  EXPECT_EQ(*r.headerbuf, far.substr(0, far.size() - 9));
  EXPECT_EQ(r.sockfd, 0);

  // Within reach, but nobody listens there any more: no error.
  alarmed = 0;
  Listener gone;
  const std::string port = gone.port;
  gone.close();
  const std::string near =
      "n1=5\nPIPE 127.0.0.1 " + port + " " + std::string(250, 'x') + " 000001234";
  streaminf n = crafted(near);
  testing::internal::CaptureStderr();
  syncin(&n);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(alarmed, 0);
  EXPECT_EQ(n.sockfd, -1);
  EXPECT_EQ(*n.headerbuf, "n1=5\n");
}

TEST(PipesSyncin, TrailerNamingAListenerOfTheTest) {
  set_args({"prog", "timeout=5"});
  Listener l;
  const pid_t peer = serve_once(l.fd, "ACK");
  streaminf r = crafted("n1=5\nPIPE 127.0.0.1 " + l.port + " 000001234");
  syncin(&r);
  EXPECT_GT(r.sockfd, 0);
  EXPECT_EQ(*r.headerbuf, "n1=5\n");
  EXPECT_EQ(r.hdrlen, 5);
  EXPECT_EQ(exit_status_of(peer), 0) << "the peer got GOTIT with its NUL";
  ::close(r.sockfd);
}

TEST(PipesSyncinDeathTest, WrongAnswerIsFatal) {
  set_args({"prog", "timeout=5"});
  Listener l;
  const pid_t peer = serve_once(l.fd, "NAK");
  streaminf r = crafted("n1=5\nPIPE 127.0.0.1 " + l.port + " 000001234");
  EXPECT_EXIT(syncin(&r), kovtest::fatal_exit(), "prog: syncin\\(\\) sync err\n");
  ::kill(peer, SIGKILL);
  ::waitpid(peer, nullptr, 0);
}

// --- data through pipes -----------------------------------------------------------

TEST(PipesReader, WriterThatDiesGivesAShortReadThenZero) {
  const pid_t writer = pipe_stdin(kByteHeader + std::string("\n\f\f\x04") + pattern(1000), true);
  set_args({"prog"});
  EXPECT_EQ(read_in(4000), pattern(1000));
  EXPECT_EQ(read_in(4000), "");
  ::waitpid(writer, nullptr, 0);
}

TEST(PipesTagIsPipe, ByTagAndStream) {
  TempDir dir;
  const auto o = kovtest::run_child([&] {
    set_args({"prog", "head=| cat > " + (dir / "sink"), "noheader=y"});
    tag_info("out", TAG_OUT);
    std::exit(kov_tag_is_pipe("out") == 1 ? 0 : 4);
  });
  EXPECT_EQ(o.status, 0) << "out through a pipe";

  EXPECT_EQ(kov_tag_is_pipe("in"), 1) << "a tag without a record";
  const pid_t writer = pipe_stdin(kByteHeader + std::string("\n\f\f\x04") + "abc");
  set_args({"prog", "head=" + (dir / "o.H"), "piped=| cat > " + (dir / "sink2"),
            "datapath=" + (dir / "")});
  tag_info("in", TAG_IN);
  EXPECT_EQ(kov_tag_is_pipe("in"), -1);
  tag_info("out", TAG_OUT);
  EXPECT_EQ(kov_tag_is_pipe("out"), 0);
  tag_info("piped", TAG_OUT);
  EXPECT_EQ(kov_tag_is_pipe("piped"), -1);
  ::waitpid(writer, nullptr, 0);
}

// --- unpiping -----------------------------------------------------------------------

TEST(Unpipe, PipedInputBecomesSeekable) {
  TempDir dir;
  const std::string data = pattern(100000);
  const pid_t writer = pipe_stdin(kByteHeader + std::string("\n\f\f\x04") + data);
  set_args({"prog", "datapath=" + (dir / "")});
  EXPECT_EQ(read_in(10), data.substr(0, 10));
  const int before = open_descriptors();
  EXPECT_EQ(make_unpipe("in"), 0);
  EXPECT_EQ(open_descriptors(), before + 1) << "only the scratch file's descriptor is new";
  streaminf *r = tag_info("in", TAG_INQUIRE);
  EXPECT_EQ(r->isapipe, 0);
  EXPECT_EQ(r->backseekable, 1);
  EXPECT_EQ(r->iotype, FD_IO);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "the scratch file has no name";
  EXPECT_EQ(kov_tag_is_pipe("in"), 0);

  EXPECT_EQ(read_in(200000), data.substr(10));
  EXPECT_EQ(sseek_l_l("in", 500, 0), 500);
  EXPECT_EQ(read_in(20), data.substr(510, 20));
  EXPECT_EQ(sseek_l_l("in", 0, 0), 0);
  EXPECT_EQ(read_in(5), data.substr(10, 5));
  EXPECT_EQ(make_unpipe("in"), 0) << "a second call has nothing to do";
  ::waitpid(writer, nullptr, 0);
}

TEST(Unpipe, RegularFileInputIsLeftAlone) {
  TempDir dir;
  kovtest::write_file(dir / "v.H", kByteHeader + std::string("\n\f\f\x04") + "0123456789");
  set_args({"prog", "v=" + (dir / "v.H"), "datapath=" + (dir / "")});
  streaminf *r = tag_info("v", TAG_IN);
  const auto name = r->dataname;
  EXPECT_EQ(make_unpipe("v"), 0);
  EXPECT_EQ(r->dataname, name);
  EXPECT_EQ(r->iotype, FILE_IO);
  EXPECT_EQ(r->ioinf, nullptr) << "not even opened";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(UnpipeDeathTest, ScratchFileThatCannotBeMade) {
  TempDir dir;
  const pid_t writer = pipe_stdin(kByteHeader + std::string("\n\f\f\x04") + "abc");
  set_args({"prog", "datapath=" + (dir / "missing/")});
  EXPECT_EXIT(make_unpipe("in"), kovtest::fatal_exit(),
              "Opening scratch file in make_unpipe\\(\\): No such file or directory\n"
              "prog: Unable to create scratch file to buffer a pipe");
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
}

} // namespace
