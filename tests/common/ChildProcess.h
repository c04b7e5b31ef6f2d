#pragma once
// Runs this test binary again as a child with extra environment, for what only a fresh
// process can show (a device pixel ratio fixed at start, a process that ends itself).

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char **environ;

namespace oxlume::test {

struct ChildRun {
    int exitCode = -1; // -1: killed by a signal, timed out or not started
    QByteArray out, err;
};

// This test binary run again with the extra environment, its output caught in files. Started
// with posix_spawn, not QProcess: QProcess starts children in a vfork-like way that
// ThreadSanitizer takes for a fork of this process, after which it refuses every new thread.
inline ChildRun runChild(const std::vector<std::string> &extraEnv)
{
    ChildRun run;
    QTemporaryDir dir;
    const std::string outPath = dir.filePath(QStringLiteral("out")).toStdString();
    const std::string errPath = dir.filePath(QStringLiteral("err")).toStdString();
    std::vector<std::string> env(extraEnv);
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e); // the extras come first, so they win
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = QCoreApplication::applicationFilePath().toStdString();
    char *argv[] = {self.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return run;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    QFile out(QString::fromStdString(outPath)), err(QString::fromStdString(errPath));
    if (out.open(QIODevice::ReadOnly))
        run.out = out.readAll();
    if (err.open(QIODevice::ReadOnly))
        run.err = err.readAll();
    return run;
}

} // namespace oxlume::test
