// SPDX-License-Identifier: Apache-2.0
// velmodel chained to readers: a reader of the family (kov_reader), a reader
// outside it (cat), a reader that dies, and histories sent over TCP on
// 127.0.0.1 and over a local socket in the test's directory.
#include "test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using kovtest::read_file;
using kovtest::TempDir;

// Run a bash script in `dir` with standard input from /dev/null; the
// script leaves what the test looks at in files of the directory.
void run_script(const TempDir &dir, const std::string &script) {
  kovtest::write_file(dir / "run.sh", "cd '" + dir.path().string() +
                                          "'\nV='" KOV_VELMODEL "'\nR='" KOV_READER "'\n" + script);
  const std::string cmd = "bash '" + (dir / "run.sh") + "' </dev/null >/dev/null 2>&1";
  ASSERT_NE(std::system(cmd.c_str()), -1);
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// The model's samples as velmodel writes them to a data file (XDR), turned
// into native floats.
std::string reference_samples(const TempDir &dir, const std::string &args) {
  run_script(dir, "\"$V\" " + args + " datapath=ref_ > ref.H 2>/dev/null");
  std::string bytes = read_file(dir / "ref_ref.H@");
  for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
    uint32_t w;
    std::memcpy(&w, bytes.data() + i, 4);
    w = ntohl(w);
    std::memcpy(bytes.data() + i, &w, 4);
  }
  return bytes;
}

// A TCP port of 127.0.0.1 held for the test: bound (not listening) with
// SO_REUSEADDR, so that no other socket of the machine takes it meanwhile
// while a listener of the programs (which set SO_REUSEADDR too) still can.
class HeldPort {
public:
  HeldPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    const int one = 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd_, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
      std::abort();
    port_ = std::to_string(ntohs(a.sin_port));
  }
  HeldPort(const HeldPort &) = delete;
  HeldPort &operator=(const HeldPort &) = delete;
  ~HeldPort() { ::close(fd_); }
  const std::string &str() const { return port_; }

private:
  int fd_;
  std::string port_;
};

constexpr char kSmall[] = "n2=40";
constexpr std::size_t kSmallBytes = 40 * 500 * 4;

TEST(PipesProgram, ReaderOutsideTheFamilyGetsEverything) {
  TempDir dir;
  const std::string expected = reference_samples(dir, kSmall);
  ASSERT_EQ(expected.size(), kSmallBytes);
  run_script(dir, "\"$V\" n2=40 sockhost=127.0.0.1 timeout=1 2>w.err | cat > piped.H\n"
                  "echo ${PIPESTATUS[@]} > status\n"
                  "\"$R\" dump=back.bin < piped.H > summary 2>r.err\n"
                  "\"$V\" n2=40 isoutstream=y 2>/dev/null | cat > plain.H\n"
                  "\"$R\" < plain.H > plain.summary 2>/dev/null\n");
  EXPECT_EQ(trimmed(read_file(dir / "status")), "0 0") << read_file(dir / "w.err");
  const std::string piped = read_file(dir / "piped.H");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(piped, m,
                                std::regex("data_format=\"xdr_float\"\nPIPE 127\\.0\\.0\\.1 "
                                           "[0-9]+ [0-9]{9}\x04")));
  EXPECT_EQ(piped.size() - static_cast<std::size_t>(m.position(0) + m.length(0)), kSmallBytes)
      << "the data follow the trailer whole";
  EXPECT_NE(read_file(dir / "summary").find("traces=40 bytes=80000 "), std::string::npos)
      << read_file(dir / "r.err");
  EXPECT_EQ(read_file(dir / "back.bin"), expected);

  const std::string plain = read_file(dir / "plain.H");
  EXPECT_EQ(plain.find("PIPE"), std::string::npos) << "isoutstream=y: the normal end";
  EXPECT_EQ(plain.substr(plain.size() - kSmallBytes - 4, 4), "\n\f\f\x04");
  EXPECT_NE(read_file(dir / "plain.summary").find("traces=40 "), std::string::npos);
}

// A reader that dies mid-stream: the writer dies of SIGPIPE like any
// program of a pipeline, or, when it ignores SIGPIPE, stops with the
// write error (status 23).  Never a success, never a hang.
TEST(PipesProgram, ReaderThatDiesStopsTheWriter) {
  TempDir dir;
  run_script(dir, "\"$V\" n2=20000 sockhost=127.0.0.1 timeout=2 2>w.err | \"$R\" die_after=2\n"
                  "echo ${PIPESTATUS[@]} > status\n"
                  "trap '' PIPE\n"
                  "\"$V\" n2=20000 sockhost=127.0.0.1 timeout=2 2>w2.err | \"$R\" die_after=2\n"
                  "echo ${PIPESTATUS[@]} > status2\n");
  EXPECT_EQ(trimmed(read_file(dir / "status")), "141 3") << "128 + SIGPIPE, then the reader's 3";
  EXPECT_EQ(trimmed(read_file(dir / "status2")), "23 3");
  EXPECT_NE(read_file(dir / "w2.err")
                .find("velmodel: file_write() : I/O error writing stdout, tag \"out\""),
            std::string::npos)
      << read_file(dir / "w2.err");
}

TEST(SocketProgram, HistoryAndDataOverTcpEitherSideListening) {
  TempDir dir;
  const std::string expected = reference_samples(dir, kSmall);
  const HeldPort held1, held2;
  const std::string &p1 = held1.str(), &p2 = held2.str();
  run_script(dir,
             // The writer listens, the reader connects.
             "\"$V\" n2=40 head=:" + p1 +
                 " sockhost=127.0.0.1 timeout=2 >w.out 2>w.err &\n"
                 "\"$R\" stdin=127.0.0.1:" +
                 p1 +
                 " dump=a.bin > a.summary 2>a.err\n"
                 "r=$?; wait $!; echo $? $r > a.status\n"
                 // The reader listens, the writer connects.
                 "\"$R\" stdin=:" +
                 p2 +
                 " sockhost=127.0.0.1 dump=b.bin > b.summary 2>b.err &\n"
                 "\"$V\" n2=40 head=127.0.0.1:" +
                 p2 +
                 " sockhost=127.0.0.1 timeout=2 >/dev/null 2>&1\n"
                 "w=$?; wait $!; echo $w $? > b.status\n");
  for (const char *side : {"a", "b"}) {
    SCOPED_TRACE(side);
    const std::string s = side;
    EXPECT_EQ(trimmed(read_file(dir / (s + ".status"))), "0 0") << read_file(dir / (s + ".err"));
    EXPECT_NE(read_file(dir / (s + ".summary")).find("traces=40 bytes=80000 "), std::string::npos);
    EXPECT_NE(read_file(dir / (s + ".summary")).find("handshake=1"), std::string::npos);
    EXPECT_EQ(read_file(dir / (s + ".bin")), expected);
  }
  EXPECT_EQ(read_file(dir / "w.out"), "") << "the history went to the socket";
}

TEST(SocketProgram, HistoryAndDataOverALocalSocket) {
  TempDir dir;
  const std::string expected = reference_samples(dir, kSmall);
  const std::string sock = dir / "vel.sock";
  run_script(dir, "\"$V\" n2=40 head=::" + sock +
                      " sockhost=127.0.0.1 timeout=2 2>w.err &\n"
                      "\"$R\" stdin=unix:" +
                      sock +
                      " dump=l.bin > l.summary 2>l.err\n"
                      "r=$?; wait $!; echo $? $r > l.status\n");
  EXPECT_EQ(trimmed(read_file(dir / "l.status")), "0 0") << read_file(dir / "w.err");
  EXPECT_EQ(read_file(dir / "l.bin"), expected);
  EXPECT_FALSE(std::filesystem::exists(sock)) << "the socket's name is removed once connected";
}

} // namespace
