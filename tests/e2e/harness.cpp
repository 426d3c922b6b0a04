#include "harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace e2e {

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

// A scratch directory for one run's output files, removed afterwards.
class ScratchDirectory {
public:
    ScratchDirectory()
    {
        std::string pattern = ::testing::TempDir() + "ledboard-e2e.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~ScratchDirectory()
    {
        for (const char* name : {"/out", "/err", "/log"}) {
            unlink((path_ + name).c_str());
        }
        rmdir(path_.c_str());
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    std::string file(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace

std::vector<std::string> toolCommand()
{
    std::vector<std::string> command;
    if (const char* wrapper = std::getenv("LEDBOARD_TOOL_WRAPPER")) {
        std::istringstream words(wrapper);
        for (std::string word; words >> word;) {
            command.push_back(word);
        }
    }
    command.emplace_back(LEDBOARD_TOOL);
    return command;
}

std::string simulatorPath()
{
    return LEDBOARD_SIM;
}

namespace {

// Starts [OUTSIDE...] ledboard-sim SIM-OPTIONS --log LOG -- COMMAND..., its standard input on
// /dev/null, its standard output on the descriptor `out` or, when that is -1, in the scratch file
// "out", its standard error in "err". Returns the first program's pid, or 0 once it has reported
// why it cannot start it.
pid_t start(const ScratchDirectory& scratch, const std::vector<std::string>& simOptions,
            const std::vector<std::string>& command, const std::vector<std::string>& outside,
            int out, bool ownGroup)
{
    std::vector<std::string> arguments = outside;
    arguments.push_back(simulatorPath());
    arguments.insert(arguments.end(), simOptions.begin(), simOptions.end());
    arguments.insert(arguments.end(), {"--log", scratch.file("log"), "--"});
    arguments.insert(arguments.end(), command.begin(), command.end());
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&files, out, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, scratch.file("out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, scratch.file("err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (ownGroup) {
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    }
    // The log's path for a script that waits for a request in it.
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        environment.emplace_back(*variable);
    }
    environment.push_back("LEDBOARD_SIM_LOG=" + scratch.file("log"));
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (auto& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    pid_t child = 0;
    const int spawned =
        posix_spawnp(&child, argv[0], &files, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
        return 0;
    }
    return child;
}

// Waits for the run that start() began, and collects its exit status, its standard error and the
// simulator's log.
void finish(pid_t child, const ScratchDirectory& scratch, Run& run)
{
    int waitStatus = 0;
    waitpid(child, &waitStatus, 0);
    run.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
    run.err = readFile(scratch.file("err"));
    run.log = lines(readFile(scratch.file("log")));
}

} // namespace

Run underSimulator(const std::vector<std::string>& simOptions,
                   const std::vector<std::string>& command, const std::vector<std::string>& outside)
{
    const ScratchDirectory scratch;
    Run run;
    const pid_t child = start(scratch, simOptions, command, outside, -1, false);
    if (child == 0) {
        return run;
    }
    finish(child, scratch, run);
    run.out = readFile(scratch.file("out"));
    return run;
}

Run underSimulatorAtFirstLine(const std::vector<std::string>& simOptions,
                              const std::vector<std::string>& command,
                              const std::function<void(pid_t group)>& atFirstLine)
{
    const ScratchDirectory scratch;
    Run run;
    std::array<int, 2> ends{};
    if (pipe2(ends.data(), O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot make a pipe: " << std::strerror(errno);
        return run;
    }
    const pid_t child = start(scratch, simOptions, command, {}, ends[1], true);
    close(ends[1]); // so that the read ends when the command's output does
    if (child == 0) {
        close(ends[0]);
        return run;
    }
    bool lineSeen = false;
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t got = read(ends[0], chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        run.out.append(chunk.data(), static_cast<std::size_t>(got));
        if (!lineSeen && run.out.find('\n') != std::string::npos) {
            lineSeen = true;
            atFirstLine(child); // the simulator leads its group: its pid is the group's id
        }
    }
    close(ends[0]);
    finish(child, scratch, run);
    return run;
}

Run ledboard(const std::vector<std::string>& simOptions, const std::vector<std::string>& arguments)
{
    std::vector<std::string> command = toolCommand();
    command.insert(command.end(), arguments.begin(), arguments.end());
    return underSimulator(simOptions, command);
}

Run script(const std::vector<std::string>& simOptions, const std::string& body)
{
    std::string tool;
    for (const auto& word : toolCommand()) {
        tool += word + " ";
    }
    // $tool for a background job, whose $! must be the tool's own process.
    return underSimulator(simOptions,
                          {"bash", "-c",
                           "tool='" + tool + "'\nledboard() { $tool \"$@\"; }\n" +
                               "waitfor() { until eval \"$1\"; do sleep 0.01; done; }\n" + body});
}

std::string controlPath(const char* test)
{
    return ::testing::TempDir() + "ledboard-sim-control-" + test + "-" + std::to_string(getpid());
}

std::vector<std::string> controls(const Run& run, const std::string& device)
{
    std::vector<std::string> selected;
    for (const auto& line : run.log) {
        if (line.find(" CONTROL ") != std::string::npos &&
            (device.empty() || line.starts_with(device + " "))) {
            selected.push_back(line);
        }
    }
    return selected;
}

std::vector<std::string> vendorRequests(const Run& run)
{
    static const std::regex vendor(
        R"(^(\S+) CONTROL type=0xc0 request=(\d+) value=(0x[0-9a-f]{4}) index=0x0000 length=7 result=(\S+)$)");
    std::vector<std::string> selected;
    for (const auto& line : controls(run)) {
        std::smatch match;
        if (std::regex_match(line, match, vendor)) {
            selected.push_back(match[1].str() + " request=" + match[2].str() +
                               " value=" + match[3].str() + " result=" + match[4].str());
        } else if (line.find("type=0xc0") != std::string::npos) {
            selected.push_back("malformed: " + line); // shows up in any comparison
        }
    }
    return selected;
}

} // namespace e2e
