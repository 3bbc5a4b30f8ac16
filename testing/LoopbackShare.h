// Test helper: a network share served on 127.0.0.1 by a real server of its
// own and mounted through FUSE as a home user mounts one: an OpenSSH server
// through sshfs, Samba's smbd through smbnetfs, a WebDAV server (rclone serve
// webdav) through davfs2. Each server runs with a private configuration and
// private state in a temporary folder, on a free port of 127.0.0.1 only. The
// server can be killed, frozen and restarted, and the share unmounted, to
// meet a share that fails as real ones do. Everything is stopped, unmounted
// and removed when the object goes away, also while the server is frozen.
// Mounting needs root here; where it is not, or a tool is missing, or a step
// fails, the share is not mounted and says why, for GTEST_SKIP.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "testing/FaultInjection.h"
#include "testing/FuseVolume.h"

extern char** environ;

namespace quillfen::testing {

class LoopbackShare {
 public:
  enum class Kind { kSshfs, kSmb, kWebDav };

  struct Options {
    // The server refuses every change (sftp-server -R, a read-only Samba
    // share, rclone --read-only): the share a user may only read.
    bool readOnly = false;
    // When not 0, the exported folder is a tmpfs of this many bytes (rounded
    // up to whole pages), so that the share runs full.
    long long sizeLimitBytes = 0;
  };

  explicit LoopbackShare(Kind kind) : LoopbackShare(kind, Options()) {}
  LoopbackShare(Kind kind, Options options) : kind_(kind), options_(options) {
    if (!Start()) Teardown();
  }
  ~LoopbackShare() { Teardown(); }
  LoopbackShare(const LoopbackShare&) = delete;
  LoopbackShare& operator=(const LoopbackShare&) = delete;

  bool mounted() const { return mounted_; }
  // Why the share is not mounted, or why the last step failed; empty when
  // all went well.
  const std::string& skipReason() const { return skipReason_; }
  // The share as the client sees it: the mount point, or for SMB the
  // share's folder below smbnetfs's mount (<mount>/127.0.0.1:<port>/share),
  // where the user reaches it, and which is gone with the mount.
  const std::string& mountPoint() const { return mountPoint_; }
  // The server's folder on the local disk: what really arrived.
  const std::string& exported() const { return exported_; }

  static const char* Name(Kind kind) {
    switch (kind) {
      case Kind::kSshfs:
        return "sshfs";
      case Kind::kSmb:
        return "SMB";
      case Kind::kWebDav:
        return "WebDAV";
    }
    return "?";
  }

  // The kind's name in the tests' messages.
  friend void PrintTo(Kind kind, std::ostream* out) { *out << Name(kind); }

  // The server dies: SIGKILL to every process of it, the one that listens
  // and those that serve the connections.
  void KillServer() {
    if (serverPid_ <= 0) return;
    for (pid_t pid : ProcessTree(serverPid_)) kill(pid, SIGKILL);
    frozen_.clear();
    Reap(serverPid_);
    serverPid_ = -1;
  }

  // The server stops answering: SIGSTOP to every process of it. Stopping the
  // process that listens is not enough where connections are served by
  // processes of their own: sshd hands each connection to a child of its own
  // and that to sftp-server, and smbd forks one child per client; a stop of
  // either of those two ssh processes freezes the sshfs traffic, so all are
  // stopped. rclone serves everything in its one process.
  void FreezeServer() {
    if (serverPid_ <= 0) return;
    for (pid_t pid : ProcessTree(serverPid_)) {
      if (kill(pid, SIGSTOP) == 0) frozen_.push_back(pid);
    }
  }

  // The frozen server answers again.
  void ThawServer() {
    for (pid_t pid : frozen_) kill(pid, SIGCONT);
    frozen_.clear();
  }

  // After KillServer: the same server on the same port with the same export.
  // sshfs (without its reconnect option, as a user mounts it) ends when its
  // connection breaks and the share vanishes from its mount point; the share
  // is then mounted again, as the user would. smbnetfs and davfs2 connect
  // again by themselves. False (reason in skipReason()) when the server does
  // not answer or the share cannot be mounted again.
  bool RestartServer() {
    if (serverPid_ > 0) return Fail("the server still runs");
    if (!StartServer()) return false;
    if (kind_ == Kind::kSshfs && !ClientRunning()) {
      StopClient();
      mounted_ = false;
      return Mount();
    }
    // smbnetfs answers EIO for a while after it lost its server (a look at
    // the share's own folder may still come from its cache): the share is
    // back once its folder can be listed and a name not there is looked up
    // as missing.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!Answers()) {
      if (Clock::now() >= deadline) return Fail("the share does not answer again after a restart");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
  }

  // The share goes away as at a user's unmount (davfs2 uploads what it still
  // holds first); the mount point stays, an empty local folder (for SMB,
  // mountPoint() is then missing). The server runs on.
  void Unmount() {
    if (!mounted_) return;
    const bool answering = serverPid_ > 0 && frozen_.empty();
    if (!answering || !GracefulUnmount()) LazyUnmount();
    StopClient();
    mounted_ = false;
  }

  // Waits until all that was written through the mount is on the server.
  // sshfs and smbnetfs write through: a closed file is there. davfs2 keeps
  // what is written in a local cache and uploads it from there in the
  // background, some seconds after the file is closed (an fsync does not
  // hurry it); its unmount waits for the uploads, so the share is unmounted
  // and mounted again. False (reason in skipReason()) when the uploads do
  // not end in time or the share cannot be mounted again.
  bool Settle() {
    if (kind_ != Kind::kWebDav || !mounted_) return mounted_;
    const bool uploaded = serverPid_ > 0 && frozen_.empty() && GracefulUnmount();
    if (!uploaded) LazyUnmount();
    StopClient();
    mounted_ = false;
    // davfs2 keeps its listings across mounts and trusts them for a minute:
    // once all is uploaded the cache holds nothing the server lacks, and is
    // emptied, so that the share is seen as the server has it, as after a
    // pause.
    if (uploaded) {
      std::error_code ignored;
      for (const auto& entry : std::filesystem::directory_iterator(davfsCache_, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
    }
    if (!Mount()) return false;
    return uploaded || Fail("the uploads of davfs2 did not end in time");
  }

  // Runs `argv` (argv[0] a full path) with the file `input` as its standard
  // input (none: /dev/null), its output to `output`; the exit status, or -1
  // when it could not be run, was killed, or still ran after `seconds` (it
  // is then killed): unlike FuseVolume::Run, never waits on a command stuck
  // on a mount that does not answer.
  static int RunFor(const std::vector<std::string>& argv, int seconds,
                    std::string* output = nullptr, const std::string& input = {}) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = Spawn(argv, {}, pipeFds[1], input);
    close(pipeFds[1]);
    if (pid < 0) {
      close(pipeFds[0]);
      return -1;
    }
    // Read until the command ends, not until the pipe closes: a command
    // that leaves a process in the background (mount.davfs) may leave the
    // pipe open with it.
    std::string text;
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    bool ended = false;
    bool open = true;
    while (!ended && Clock::now() < deadline) {
      pollfd pfd{pipeFds[0], POLLIN, 0};
      if (open && poll(&pfd, 1, 50) > 0) {
        char buffer[4096];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) text.append(buffer, static_cast<size_t>(n));
        if (n == 0 || (n < 0 && errno != EINTR)) open = false;
      } else if (!open) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      ended = waitpid(pid, &status, WNOHANG) == pid;
    }
    if (ended) {
      // What it wrote last.
      fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
      char buffer[4096];
      ssize_t n;
      while (open && (n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    } else {
      kill(pid, SIGKILL);
      Reap(pid);
    }
    close(pipeFds[0]);
    if (output != nullptr) *output = text;
    if (!ended) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  using Clock = std::chrono::steady_clock;

  // Sets the reason and returns false.
  bool Fail(std::string reason) {
    skipReason_ = std::string(Name(kind_)) + " share: " + std::move(reason);
    return false;
  }

  // A tool by name (a full path is taken as it is), or the reason it is
  // missing.
  bool Tool(const std::string& name, std::string& path) {
    path =
        name[0] == '/' ? (access(name.c_str(), X_OK) == 0 ? name : "") : FuseVolume::FindTool(name);
    return !path.empty() || Fail(name + " is not installed");
  }

  // Runs a step of the set-up; `input` (when not empty) is its standard
  // input.
  bool RunStep(const std::vector<std::string>& argv, const std::string& input = {}) {
    std::string inputFile;
    if (!input.empty()) {
      inputFile = folder_ + "/input";
      if (!WriteText(inputFile, input, 0600)) return Fail("cannot write " + inputFile);
    }
    std::string output;
    const int status = RunFor(argv, 30, &output, inputFile);
    if (!inputFile.empty()) unlink(inputFile.c_str());
    if (status == 0) return true;
    return Fail(argv[0] + " failed (status " + std::to_string(status) + "): " + output);
  }

  static bool WriteText(const std::string& path, const std::string& text, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = fchmod(fd, mode) == 0 && ok;
    return close(fd) == 0 && ok;
  }

  // The lines, each ended.
  static std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
  }

  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The last lines of a log, for a reason.
  static std::string Tail(const std::string& path) {
    std::string text = ReadText(path);
    if (text.size() > 1500) text = "..." + text.substr(text.size() - 1500);
    return text;
  }

  // Starts `argv` (argv[0] a full path) with `env` ("NAME=value") added to
  // this process's environment, its output to the descriptor `out`, its
  // input from the file `input` (none: /dev/null); its pid, or -1.
  // Everything the child needs before exec is made beforehand, as the tests
  // have threads.
  static pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     int out, const std::string& input = {}) {
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string& added : env) replaced = replaced || added.rfind(name, 0) == 0;
      if (!replaced) envText.push_back(entry);
    }
    envText.insert(envText.end(), env.begin(), env.end());
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : envText) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const char* inputPath = input.empty() ? "/dev/null" : input.c_str();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // A session of its own: smbd signals its whole process group as it
    // ends (it is told not to make a group of its own, which it cannot in
    // a session that is its own already), which must not reach the tests.
    // And no server outlives tests that crash.
    setsid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(out, 1);
    dup2(out, 2);
    const int in = open(inputPath, O_RDONLY | O_CLOEXEC);
    if (in >= 0) dup2(in, 0);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }

  // Starts a long-running process, its output to `log` (appended).
  static pid_t SpawnLogged(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& log) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    const pid_t pid = Spawn(argv, env, fd);
    close(fd);
    return pid;
  }

  // Waits for the child `pid` to end; its wait status (0 when it was not a
  // child of ours).
  static int Reap(pid_t pid) {
    int status = 0;
    if (pid <= 0) return 0;
    while (waitpid(pid, &status, 0) < 0) {
      if (errno != EINTR) return 0;
    }
    return status;
  }

  // Waits up to `seconds` for the child `pid` to end, and kills it then;
  // its exit status, or -1 when it was killed or did not end by itself.
  static int WaitFor(pid_t& pid, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (Clock::now() < deadline) {
      if (pid <= 0) return -1;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop(pid, 0);
    return -1;
  }

  // Whether `pid` runs: not gone, not a zombie. A child of ours that ended
  // is reaped on the way; a process that ended is forgotten (`pid` set to
  // -1), so that its number, once the system gives it to another process,
  // is never signalled.
  static bool Running(pid_t& pid) {
    if (pid <= 0) return false;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return false;
    }
    const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z') {
      // Ended since the look above: reaped now, when it is ours.
      waitpid(pid, &status, WNOHANG);
      pid = -1;
      return false;
    }
    return true;
  }

  // `root` and every process below it.
  static std::vector<pid_t> ProcessTree(pid_t root) {
    std::vector<pid_t> tree;
    if (root <= 0) return tree;
    tree.push_back(root);
    std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, parent)
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string stat = ReadText(entry.path().string() + "/stat");
      const size_t close = stat.rfind(')');
      if (close == std::string::npos || close + 4 >= stat.size()) continue;
      parents.emplace_back(std::stoi(name),
                           std::atoi(stat.c_str() + stat.find(' ', close + 2) + 1));
    }
    for (size_t i = 0; i < tree.size(); ++i) {
      for (const auto& [pid, parent] : parents)
        if (parent == tree[i]) tree.push_back(pid);
    }
    return tree;
  }

  // Ends `pid` and all below it: SIGTERM, then SIGKILL after `seconds`;
  // `pid` is then -1.
  static void Stop(pid_t& pid, int seconds) {
    if (!Running(pid)) return;
    const std::vector<pid_t> tree = ProcessTree(pid);
    for (pid_t p : tree) kill(p, SIGCONT);
    kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Running(pid) && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (pid <= 0) return;
    for (pid_t p : tree) kill(p, SIGKILL);
    Reap(pid);
    pid = -1;
  }

  // A port of 127.0.0.1 that nothing listens on now.
  static int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
  }

  static bool Listening(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
  }

  static dev_t DeviceOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
  }

  bool Start() {
    if (geteuid() != 0) return Fail("mounting through FUSE needs root here");
    if (access("/dev/fuse", R_OK | W_OK) != 0) return Fail("/dev/fuse is missing or not usable");
    std::string folder = std::filesystem::temp_directory_path().string() + "/quillfen-share-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) return Fail("no temporary folder");
    folder_ = folder;
    // davfs2 works as its own user and keeps its cache below this folder.
    chmod(folder_.c_str(), 0755);
    mountRoot_ = folder_ + "/mnt";
    if (mkdir(mountRoot_.c_str(), 0755) != 0) return Fail("no mount point");
    if (options_.sizeLimitBytes > 0) {
      disk_ = std::make_unique<SmallDisk>(static_cast<size_t>(options_.sizeLimitBytes));
      if (!disk_->ok()) return Fail(disk_->error());
      exported_ = disk_->root();
    } else {
      exported_ = folder_ + "/export";
      if (mkdir(exported_.c_str(), 0755) != 0) return Fail("no exported folder");
    }
    port_ = FreePort();
    if (port_ <= 0) return Fail("no free port on 127.0.0.1");
    switch (kind_) {
      case Kind::kSshfs:
        if (!ConfigureSsh()) return false;
        break;
      case Kind::kSmb:
        if (!ConfigureSmb()) return false;
        break;
      case Kind::kWebDav:
        if (!ConfigureWebDav()) return false;
        break;
    }
    return StartServer() && Mount();
  }

  bool ConfigureSsh() {
    std::string keygen, ssh, sftpServer;
    if (!Tool("/usr/sbin/sshd", serverTool_) || !Tool("ssh-keygen", keygen) ||
        !Tool("sshfs", clientTool_) || !Tool("ssh", ssh) ||
        !Tool("/usr/lib/openssh/sftp-server", sftpServer)) {
      return false;
    }
    const std::string hostKey = folder_ + "/host_key";
    clientKey_ = folder_ + "/client_key";
    if (!RunStep({keygen, "-q", "-t", "ed25519", "-N", "", "-f", hostKey}) ||
        !RunStep({keygen, "-q", "-t", "ed25519", "-N", "", "-f", clientKey_})) {
      return false;
    }
    const std::string authorized = folder_ + "/authorized_keys";
    if (!WriteText(authorized, ReadText(clientKey_ + ".pub"), 0600)) {
      return Fail("cannot write the authorized keys");
    }
    // sshd refuses to start without its privilege separation folder.
    mkdir("/run/sshd", 0755);
    const std::string config = Lines({
        "ListenAddress 127.0.0.1:" + std::to_string(port_),
        "HostKey " + hostKey,
        "PidFile " + folder_ + "/sshd.pid",
        "AuthorizedKeysFile " + authorized,
        "PermitRootLogin prohibit-password",
        "PubkeyAuthentication yes",
        "PasswordAuthentication no",
        "KbdInteractiveAuthentication no",
        "UsePAM no",
        "UseDNS no",
        "StrictModes no",
        "Subsystem sftp " + sftpServer + (options_.readOnly ? " -R" : ""),
    });
    serverConfig_ = folder_ + "/sshd_config";
    if (!WriteText(serverConfig_, config, 0600)) return Fail("cannot write sshd_config");
    return true;
  }

  bool ConfigureSmb() {
    std::string smbpasswd;
    if (!Tool("smbd", serverTool_) || !Tool("smbpasswd", smbpasswd) ||
        !Tool("smbnetfs", clientTool_)) {
      return false;
    }
    const std::string state = folder_ + "/samba";
    for (const char* sub : {"", "/lock", "/state", "/cache", "/pid", "/private", "/ncalrpc"}) {
      if (mkdir((state + sub).c_str(), 0755) != 0) return Fail("no folder for Samba's state");
    }
    // Only 127.0.0.1, no NetBIOS, no printers: a single share and nothing
    // that talks to the network around.
    const std::string config = Lines({
        "[global]",
        "server role = standalone server",
        "interfaces = 127.0.0.1",
        "bind interfaces only = yes",
        "smb ports = " + std::to_string(port_),
        "disable netbios = yes",
        "lock directory = " + state + "/lock",
        "state directory = " + state + "/state",
        "cache directory = " + state + "/cache",
        "pid directory = " + state + "/pid",
        "private dir = " + state + "/private",
        "binddns dir = " + state + "/private",
        "ncalrpc dir = " + state + "/ncalrpc",
        "log file = " + state + "/log.%m",
        "passdb backend = tdbsam:" + state + "/private/passdb.tdb",
        "load printers = no",
        "printing = bsd",
        "printcap name = /dev/null",
        "disable spoolss = yes",
        "map to guest = never",
        "[share]",
        "path = " + exported_,
        std::string("read only = ") + (options_.readOnly ? "yes" : "no"),
    });
    serverConfig_ = state + "/smb.conf";
    if (!WriteText(serverConfig_, config, 0644)) return Fail("cannot write smb.conf");
    if (!RunStep({smbpasswd, "-c", serverConfig_, "-s", "-a", "root"}, "secret\nsecret\n")) {
      return false;
    }
    // smbnetfs and the Samba client library read their settings from the
    // home folder: a private one, with the share's user and password.
    const std::string home = folder_ + "/home";
    if (mkdir(home.c_str(), 0700) != 0 || mkdir((home + "/.smb").c_str(), 0700) != 0 ||
        !WriteText(home + "/.smb/smb.conf",
                   "[global]\ndisable netbios = yes\nname resolve order = host\n", 0600) ||
        !WriteText(home + "/.smb/smbnetfs.conf",
                   "smb_query_browsers \"false\"\nauth \"root\" \"secret\"\n", 0600)) {
      return Fail("cannot write the smbnetfs settings");
    }
    clientHome_ = home;
    // smbnetfs names a host by its address, the port after a colon.
    mountPoint_ = mountRoot_ + "/127.0.0.1:" + std::to_string(port_) + "/share";
    return true;
  }

  bool ConfigureWebDav() {
    std::string umount;
    if (!Tool("rclone", serverTool_) || !Tool("mount.davfs", clientTool_) ||
        !Tool("umount", umount)) {
      return false;
    }
    davfsCache_ = folder_ + "/davfs2-cache";
    // mount.davfs makes its folder in there partly as root, partly as its
    // own user.
    if (mkdir(davfsCache_.c_str(), 0777) != 0 || chmod(davfsCache_.c_str(), 0777) != 0) {
      return Fail("no folder for davfs2's cache");
    }
    // davfs2's defaults (a 10 s delay before an upload, ...) but for two
    // settings a user of this server and this kernel needs. The buffer:
    // davfs2 1.6 answers the larger folder reads of Linux 6.16 and later
    // with EINVAL unless it is 64 KiB, so that no folder could be listed.
    // Locks: davfs2 locks each file it creates, and rclone's server then
    // refuses to move it (423 Locked), so that every rename of a file made
    // through the mount fails with EIO. No credentials: the server asks for
    // none.
    serverConfig_ = folder_ + "/davfs2.conf";
    if (!WriteText(serverConfig_,
                   "cache_dir " + davfsCache_ + "\nask_auth 0\nbuf_size 64\nuse_locks 0\n", 0644)) {
      return Fail("cannot write davfs2.conf");
    }
    return true;
  }

  bool StartServer() {
    const std::string log = folder_ + "/server.log";
    switch (kind_) {
      case Kind::kSshfs:
        serverPid_ = SpawnLogged({serverTool_, "-D", "-e", "-f", serverConfig_}, {}, log);
        break;
      case Kind::kSmb:
        serverPid_ = SpawnLogged({serverTool_, "--foreground", "--no-process-group",
                                  "--debug-stdout", "-s", serverConfig_},
                                 {}, log);
        break;
      case Kind::kWebDav: {
        // rclone trusts what it listed of its own folder for 5 minutes by
        // default; a server sees what lands on its disk at once.
        std::vector<std::string> argv = {
            serverTool_,        "serve", "webdav", "--addr", "127.0.0.1:" + std::to_string(port_),
            "--dir-cache-time", "0s"};
        if (options_.readOnly) argv.push_back("--read-only");
        argv.push_back(exported_);
        serverPid_ = SpawnLogged(
            argv,
            {"RCLONE_CONFIG=" + folder_ + "/rclone.conf", "XDG_CACHE_HOME=" + folder_ + "/cache"},
            log);
        break;
      }
    }
    if (serverPid_ < 0) return Fail("cannot start " + serverTool_);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      if (!Running(serverPid_)) {
        return Fail(serverTool_ + " ended at once: " + Tail(log));
      }
      if (Listening(port_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Fail(serverTool_ + " does not answer on port " + std::to_string(port_) + ": " +
                Tail(log));
  }

  // Mounts the share and waits until it is a file system of its own that
  // answers.
  bool Mount() {
    const std::string log = folder_ + "/client.log";
    switch (kind_) {
      case Kind::kSshfs:
        mountPoint_ = mountRoot_;
        // In the foreground, as a child of ours, so that it can be ended and
        // reaped; otherwise as a user mounts it: no reconnect.
        clientPid_ =
            SpawnLogged({clientTool_, "-f", "-F", "/dev/null", "-o",
                         "IdentityFile=" + clientKey_ +
                             ",StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes,"
                             "LogLevel=ERROR,port=" +
                             std::to_string(port_),
                         "root@127.0.0.1:" + exported_, mountRoot_},
                        {}, log);
        break;
      case Kind::kSmb:
        clientPid_ = SpawnLogged(
            {clientTool_, mountRoot_, "-f", "-o", "config=" + clientHome_ + "/.smb/smbnetfs.conf"},
            {"HOME=" + clientHome_}, log);
        break;
      case Kind::kWebDav: {
        mountPoint_ = mountRoot_;
        // mount.davfs puts itself in the background once mounted, its output
        // still going where ours went: to a file, not to a pipe that closes.
        pid_t mounter = SpawnLogged({clientTool_, "http://127.0.0.1:" + std::to_string(port_) + "/",
                                     mountRoot_, "-o", "conf=" + serverConfig_},
                                    {}, log);
        if (WaitFor(mounter, 60) != 0) return Fail("mount.davfs failed: " + Tail(log));
        clientPid_ = DavfsPid();
        break;
      }
    }
    if (clientPid_ <= 0) return Fail("cannot start " + clientTool_);
    const dev_t local = DeviceOf(folder_);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      if (!ClientRunning()) {
        return Fail(clientTool_ + " ended: " + Tail(log));
      }
      const dev_t mounted = DeviceOf(mountRoot_);
      if (mounted != 0 && mounted != local) {
        // smbnetfs connects to the host when the share is first looked at.
        struct stat st;
        if (stat(mountPoint_.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == mounted) {
          mounted_ = true;
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    LazyUnmount();
    StopClient();
    return Fail(clientTool_ +
                " reported nothing wrong, but the share is not mounted: " + Tail(log));
  }

  // Whether the share answers: its folder can be listed, and a name that is
  // not there is missing rather than failing.
  bool Answers() const {
    DIR* folder = opendir(mountPoint_.c_str());
    if (folder == nullptr) return false;
    errno = 0;
    while (readdir(folder) != nullptr) {
    }
    const bool listed = errno == 0;
    closedir(folder);
    struct stat st;
    return listed && stat((mountPoint_ + "/.quillfen-no-such-name").c_str(), &st) != 0 &&
           errno == ENOENT;
  }

  // The process mount.davfs left in the background for our mount point.
  pid_t DavfsPid() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      // The arguments as run: "<path of mount.davfs> <address> <mount point> ...".
      std::string cmdline = ReadText(entry.path().string() + "/cmdline");
      for (char& c : cmdline)
        if (c == '\0') c = ' ';
      const size_t first = cmdline.find(' ');
      if (first == std::string::npos || cmdline.substr(0, first) != clientTool_) continue;
      if (cmdline.find(" " + mountRoot_ + " ", first) != std::string::npos) {
        pid_t pid = std::stoi(name);
        if (Running(pid)) return pid;
      }
    }
    return -1;
  }

  bool ClientRunning() { return Running(clientPid_); }

  // The ordinary unmount, which lets the client finish its work (davfs2
  // uploads what it holds); false when it does not end in time.
  bool GracefulUnmount() {
    if (kind_ == Kind::kWebDav) {
      const std::string umount = FuseVolume::FindTool("umount");
      if (RunFor({umount, mountRoot_}, 60) != 0) return false;
      // umount.davfs returns once mount.davfs has ended.
      return true;
    }
    const std::string fusermount = FuseVolume::FindTool("fusermount3");
    return !fusermount.empty() && RunFor({fusermount, "-u", mountRoot_}, 10) == 0;
  }

  // Detaches the mount at once, whatever its client does: never waits.
  void LazyUnmount() {
    const std::string umount = FuseVolume::FindTool("umount");
    // -i: not through umount.davfs, which would wait for the uploads.
    if (!umount.empty()) RunFor({umount, "-i", "-l", mountRoot_}, 10);
  }

  void StopClient() { Stop(clientPid_, 5); }

  // Whether anything is mounted at or below our folder.
  bool AnythingMounted() const {
    if (folder_.empty()) return false;
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
      // The fifth field is the mount point.
      size_t pos = 0;
      for (int field = 0; field < 4 && pos != std::string::npos; ++field)
        pos = line.find(' ', pos + 1);
      if (pos == std::string::npos) continue;
      const std::string point = line.substr(pos + 1, line.find(' ', pos + 1) - pos - 1);
      if (point == folder_ || point.rfind(folder_ + "/", 0) == 0) return true;
    }
    return false;
  }

  void Teardown() {
    ThawServer();
    if (mounted_) {
      Unmount();
    } else if (AnythingMounted()) {
      LazyUnmount();
    }
    StopClient();
    Stop(serverPid_, 5);
    disk_.reset();
    // Never removed while anything is mounted there: the files would be the
    // share's.
    if (!folder_.empty() && !AnythingMounted()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
  }

  const Kind kind_;
  const Options options_;
  bool mounted_ = false;
  std::string skipReason_;
  std::string folder_;
  std::string mountRoot_;
  std::string mountPoint_;
  std::string exported_;
  std::unique_ptr<SmallDisk> disk_;
  int port_ = -1;
  std::string serverTool_;
  std::string clientTool_;
  std::string serverConfig_;
  std::string clientKey_;
  std::string clientHome_;
  std::string davfsCache_;
  pid_t serverPid_ = -1;
  pid_t clientPid_ = -1;
  std::vector<pid_t> frozen_;
};

}  // namespace quillfen::testing
