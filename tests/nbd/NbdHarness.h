// Processes for the NBD integration tests: nbdkit servers on unix sockets in
// a per-test directory, and shell commands (fio, qemu-io) with their output.
// Everything started is stopped again by PID; every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <string>
#include <vector>

namespace nbdtest {

// True when the program is found on PATH.
bool HaveProgram(const std::string &Name);
// The plugin of this build tree.
std::string PluginPath();

struct CommandResult {
    int ExitCode = -1;
    std::string Output;  // stdout and stderr
};
// Runs a shell command with a time limit in seconds.
CommandResult RunCommand(const std::string &Command, int TimeoutSeconds = 60);

// One nbdkit server in the foreground of a child process.
class Server {
public:
    Server() = default;
    ~Server() { Stop(); }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Starts nbdkit -f -U Socket Args... and waits until it serves.
    bool Start(const std::string &Socket, const std::vector<std::string> &Args, const std::string &LogPath);
    // SIGTERM, then waits up to 20 s (SIGKILL after). Returns the exit code, or
    // -1 when it had to be killed or was not running.
    int Stop();
    // SIGKILL at once, as a crashed server.
    void Kill();
    bool Running() const { return Pid > 0; }
    pid_t ProcessId() const { return Pid; }
    std::string Uri() const { return "nbd+unix:///?socket=" + SocketPath; }
    std::string Log() const;

private:
    pid_t Pid = -1;
    std::string SocketPath;
    std::string LogFile;
};

// A fresh temporary directory per test; removed at teardown.
class NbdTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Skips the test unless nbdkit and the plugin are there.
    bool Prerequisites(const std::vector<std::string> &Programs);
    std::string Path(const std::string &Name) const { return Dir + "/" + Name; }
    // Starts "nbdkit memory SIZE" (optionally prefilled from a random image of
    // the same size, kept as Path("upstream.img")) as the upstream.
    bool StartUpstream(const std::string &Size, bool Prefilled = false);
    // Starts the plugin in front of the upstream with the extra parameters.
    bool StartCache(const std::vector<std::string> &Parameters);

    std::string Dir;
    Server Upstream;
    Server Cache;
};

}  // namespace nbdtest
