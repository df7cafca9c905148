// A sandbox with TCP ports lets the command connect to and bind those ports and no
// other, and makes no other kind of inet socket (UDP, raw, SCTP), whose ports Landlock
// cannot check. Every row runs a small Python attack against a listener this test
// opens on 127.0.0.1, three ways: with the whole network open (the attack must work,
// or the row proves nothing), with the ports, and with the network off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "corvane/sandbox.hpp"
#include "prepared_peer.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

// A TCP socket on 127.0.0.1, listening or only bound, on a port the kernel picked.
class Loopback {
 public:
  explicit Loopback(bool listen) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), size) != 0 ||
        (listen && ::listen(fd_, 8) != 0) ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
      ADD_FAILURE() << "loopback socket: " << errno;
    port_ = ntohs(addr.sin_port);
  }
  ~Loopback() { close(); }
  Loopback(const Loopback&) = delete;
  Loopback& operator=(const Loopback&) = delete;
  // Frees the port for the command to bind.
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  [[nodiscard]] std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// The attack as a Python program that prints "ok" or the errno's name.
std::string attempt(const std::string& body) {
  return "import errno, socket\n"
         "try:\n" +
         body +
         "    print('ok')\n"
         "except OSError as e:\n"
         "    print(errno.errorcode.get(e.errno, e.errno))\n";
}

std::string connect_to(std::uint16_t port, const char* type = "socket.SOCK_STREAM") {
  return attempt("    s = socket.socket(socket.AF_INET, " + std::string(type) +
                 ")\n"
                 "    s.setblocking(True)\n"
                 "    s.connect(('127.0.0.1', " +
                 std::to_string(port) + "))\n");
}

std::string bind_to(std::uint16_t port) {
  return attempt(
      "    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)\n"
      "    s.bind(('127.0.0.1', " +
      std::to_string(port) +
      "))\n"
      "    s.listen()\n");
}

enum class Net { Open, Ports, Off };

class SandboxPortsTest : public test::NoLeakTest {
 protected:
  void SetUp() override {
    const SandboxSupport s = Sandbox::available();
    if (s.landlock_abi < 4 || !s.seccomp) GTEST_SKIP() << "this kernel has no Landlock TCP rules";
    NoLeakTest::SetUp();
  }

  [[nodiscard]] Sandbox build(Net net) const {
    SandboxSpec spec = SandboxSpec::workspace(dir_.path());
    spec.network = net == Net::Open;
    if (net == Net::Ports) spec.ports = SandboxPorts{{connect_.port()}, {bind_port_}};
    auto built = Sandbox::build(std::move(spec));
    if (!built) ADD_FAILURE() << built.error();
    return std::move(*built);
  }

  // What python3 -c `code` printed in `sandbox`.
  std::string run(const std::string& code, const Sandbox& sandbox) const {
    PreparedCommandTestPeer p;
    p.bin = std::filesystem::canonical("/usr/bin/python3");
    p.argv = {"-c", code};
    p.cwd = dir_.path();
    p.env = {{"PATH", "/usr/bin:/bin"}, {"LC_ALL", "C"}};
    p.timeout = millis(20000);
    const RunResult result = p.make().with_sandbox(sandbox).value().run(RunOptions{});
    if (!result.result) return "run failed: " + to_string(result.result.error());
    return result.result->stdout + result.result->stderr;
  }

  test::TempDir dir_;
  Loopback connect_{true};  // the allowed port
  Loopback other_{true};    // a port nobody allowed
  std::uint16_t bind_port_ = [] {
    Loopback free(false);
    return free.port();
  }();
};

TEST_F(SandboxPortsTest, TcpToTheListedPortsOnly) {
  Loopback unlisted_bind(false);
  unlisted_bind.close();
  const struct {
    const char* name;
    std::string code;
    const char* open;         // what the command prints with the whole network open
    const char* with_ports;   // with the ports
    const char* network_off;  // and with the network off
  } rows[] = {
      {"connect_allowed", connect_to(connect_.port()), "ok", "ok", "EACCES"},
      // The flags in socket's type argument must not read as another type.
      {"connect_allowed_nonblocking_cloexec",
       connect_to(connect_.port(),
                  "socket.SOCK_STREAM | socket.SOCK_NONBLOCK | socket.SOCK_CLOEXEC"),
       "ok", "ok", "EACCES"},
      {"connect_other_port", connect_to(other_.port()), "ok", "EACCES", "EACCES"},
      {"bind_allowed", bind_to(bind_port_), "ok", "ok", "EACCES"},
      {"bind_other_port", bind_to(unlisted_bind.port()), "ok", "EACCES", "EACCES"},
      // UDP has no port rule in Landlock: the socket itself is refused.
      {"udp_send",
       attempt("    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
               "    s.sendto(b'x', ('127.0.0.1', " +
               std::to_string(other_.port()) + "))\n"),
       "ok", "EACCES", "EACCES"},
      {"udp_over_ipv6", attempt("    socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)\n"), "ok",
       "EACCES", "EACCES"},
      // Raw packets would forge any TCP segment. The sandbox drops the capability they
      // need as well: the filter refuses them first (EACCES, not EPERM).
      {"raw_socket",
       attempt("    socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_TCP)\n"), "EPERM",
       "EACCES", "EACCES"},
      // A TCP socket on IPv6 is checked by port as well.
      {"tcp_over_ipv6", attempt("    socket.socket(socket.AF_INET6, socket.SOCK_STREAM)\n"), "ok",
       "ok", "EACCES"},
      // A stream socket of another protocol: Landlock checks TCP's ports only.
      {"sctp_stream", attempt("    socket.socket(socket.AF_INET, socket.SOCK_STREAM, 132)\n"), "",
       "EACCES", "EACCES"},
      // A TCP connect by sendto with MSG_FASTOPEN, not by connect.
      {"fast_open_to_other_port",
       attempt("    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)\n"
               "    s.sendto(b'x', socket.MSG_FASTOPEN, ('127.0.0.1', " +
               std::to_string(other_.port()) + "))\n"),
       "ok", "EACCES", "EACCES"},
      {"unix_socket", attempt("    socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)\n"), "ok", "ok",
       "ok"},
  };
  const Sandbox open = build(Net::Open);
  const Sandbox ports = build(Net::Ports);
  const Sandbox off = build(Net::Off);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // SCTP may be missing from this kernel altogether (""): any answer but the filter's.
    if (*row.open != '\0') {
      EXPECT_EQ(run(row.code, open), std::string(row.open) + "\n") << "with the network open";
    } else {
      EXPECT_NE(run(row.code, open), "EACCES\n") << "with the network open";
    }
    EXPECT_EQ(run(row.code, ports), std::string(row.with_ports) + "\n");
    EXPECT_EQ(run(row.code, off), std::string(row.network_off) + "\n");
  }
}

TEST(SandboxPortsBuild, ErrorsNameTheProblem) {
  const struct {
    const char* name;
    bool network;
    SandboxPorts ports;
    const char* disable;  // test seam
    const char* error;    // nullptr: builds
  } rows[] = {
      {"port_zero", false, {{0}, {}}, "", "sandbox connect port 0 is not a port (1-65535)"},
      {"bind_port_zero", false, {{}, {0}}, "", "sandbox bind port 0 is not a port (1-65535)"},
      {"with_network_open",
       true,
       {{443}, {}},
       "",
       "sandbox: ports are given with the whole network open"},
      {"no_tcp_rules",
       false,
       {{443}, {}},
       "landlock-network",
       "sandbox needs Landlock ABI 4 (TCP port rules), which this machine does not offer"},
      {"no_landlock",
       false,
       {{443}, {}},
       "landlock",
       "sandbox needs Landlock ABI 4 (TCP port rules), which this machine does not offer"},
      {"empty_lists", false, {}, "", nullptr},
  };
  test::TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::DisableFeatures off(row.disable);
    SandboxSpec spec = SandboxSpec::workspace(dir.path());
    spec.network = row.network;
    spec.ports = row.ports;
    auto built = Sandbox::build(std::move(spec));
    if (row.error == nullptr) {
      EXPECT_TRUE(built.has_value()) << built.error();
    } else {
      ASSERT_FALSE(built.has_value());
      EXPECT_EQ(built.error(), row.error);
    }
  }
}

// Best effort on a kernel without TCP rules: the network stays closed as a whole, and
// the sandbox says what it skipped.
TEST(SandboxPortsBuild, BestEffortWithoutTcpRulesKeepsTheNetworkClosed) {
  if (Sandbox::available().landlock_abi < 1) GTEST_SKIP() << "this kernel has no Landlock";
  test::TempDir dir;
  Loopback listener(true);
  test::DisableFeatures off("landlock-network");
  SandboxSpec spec = SandboxSpec::workspace(dir.path());
  spec.ports = SandboxPorts{{listener.port()}, {}};
  spec.best_effort = true;
  auto built = Sandbox::build(std::move(spec));
  ASSERT_TRUE(built.has_value()) << built.error();
  EXPECT_EQ(built->skipped(), std::vector<std::string>{"Landlock ABI 4 (TCP port rules)"});
  PreparedCommandTestPeer p;
  p.bin = std::filesystem::canonical("/usr/bin/python3");
  p.argv = {"-c", connect_to(listener.port())};
  p.cwd = dir.path();
  p.timeout = millis(20000);
  const RunResult result = p.make().with_sandbox(*built).value().run(RunOptions{});
  ASSERT_TRUE(result.result.has_value());
  EXPECT_EQ(result.result->stdout, "EACCES\n");
}

}  // namespace
}  // namespace corvane
