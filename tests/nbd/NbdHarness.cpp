#include "NbdHarness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace nbdtest {
namespace {

std::string Quote(const std::string &Text)
{
    std::string out = "'";
    for (char c : Text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

bool FileExists(const std::string &Path)
{
    struct stat st;
    return stat(Path.c_str(), &st) == 0;
}

}  // namespace

bool HaveProgram(const std::string &Name)
{
    return RunCommand("command -v " + Name + " >/dev/null", 10).ExitCode == 0;
}

std::string PluginPath()
{
    return std::string(TESSIRO_BINARY_DIR) + "/tools/nbdkit/nbdkit-tessiro8-plugin.so";
}

CommandResult RunCommand(const std::string &Command, int TimeoutSeconds)
{
    std::string line =
        "timeout -k 5 " + std::to_string(TimeoutSeconds) + " bash -c " + Quote(Command) + " 2>&1";
    CommandResult result;
    FILE *pipe = popen(line.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.Output.append(buffer, n);
    int status = pclose(pipe);
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool Server::Start(const std::string &Socket, const std::vector<std::string> &Args,
                   const std::string &LogPath)
{
    Stop();
    SocketPath = Socket;
    LogFile = LogPath;
    std::string pidFile = Socket + ".pid";
    unlink(Socket.c_str());
    unlink(pidFile.c_str());
    std::vector<std::string> argv = {"nbdkit", "-f", "-U", Socket, "-P", pidFile};
    argv.insert(argv.end(), Args.begin(), Args.end());

    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        int fd = open(LogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp("nbdkit", args.data());
        _exit(127);
    }
    Pid = pid;
    for (int i = 0; i < 400; i++) {
        if (FileExists(pidFile) && FileExists(Socket))
            return true;
        int status;
        if (waitpid(Pid, &status, WNOHANG) == Pid) {
            Pid = -1;
            return false;
        }
        usleep(25000);
    }
    Kill();
    return false;
}

int Server::Stop()
{
    if (Pid <= 0)
        return -1;
    kill(Pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 800; i++) {
        if (waitpid(Pid, &status, WNOHANG) == Pid) {
            Pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(25000);
    }
    Kill();
    return -1;
}

void Server::Kill()
{
    if (Pid <= 0)
        return;
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    Pid = -1;
}

std::string Server::Log() const
{
    std::ifstream in(LogFile);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void NbdTest::SetUp()
{
    char pattern[] = "/tmp/tessiro-nbdtest.XXXXXX";
    const char *made = mkdtemp(pattern);
    ASSERT_NE(made, nullptr);
    Dir = made;
}

void NbdTest::TearDown()
{
    Cache.Stop();
    Upstream.Stop();
    if (!Dir.empty())
        RunCommand("rm -rf " + Quote(Dir), 30);
}

bool NbdTest::Prerequisites(const std::vector<std::string> &Programs)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    (void)Programs;
    return false;  // the plugin would run inside nbdkit, which is not instrumented
#else
    for (auto &p : Programs)
        if (!HaveProgram(p))
            return false;
    return HaveProgram("nbdkit") && FileExists(PluginPath());
#endif
}

bool NbdTest::StartUpstream(const std::string &Size, bool Prefilled)
{
    if (!Upstream.Start(Path("upstream.sock"), {"-t", "16", "memory", "size=" + Size}, Path("upstream.log")))
        return false;
    if (!Prefilled)
        return true;
    std::string image = Path("upstream.img");
    CommandResult made =
        RunCommand("head -c $(numfmt --from=iec " + Size + ") /dev/urandom >" + Quote(image) +
                   " && nbdcopy " + Quote(image) + " " + Quote(Upstream.Uri()));
    return made.ExitCode == 0;
}

bool NbdTest::StartCache(const std::vector<std::string> &Parameters)
{
    // The volume takes whole sectors only; nbdkit's blocksize filter serves
    // unaligned clients in front of it, as the scripts run it.
    std::vector<std::string> args = {"-t", "16", "--filter=blocksize", PluginPath(),
                                     "upstream=" + Upstream.Uri()};
    args.insert(args.end(), Parameters.begin(), Parameters.end());
    return Cache.Start(Path("cache.sock"), args, Path("cache.log"));
}

}  // namespace nbdtest
