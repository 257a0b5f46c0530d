#include "tests/cli/cli_runner.h"

#include <ctime>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/utf8.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace keyscour::testing {

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

fs::path CliPath() {
#ifdef _WIN32
    // The build's path of the program, in Wine's view of the host's files.
    std::wstring path = L"Z:" + FromUtf8(KEYSCOUR_CLI_PATH);
    for (auto& c : path)
        if (c == L'/') c = L'\\';
    return path;
#else
    return KEYSCOUR_CLI_PATH;
#endif
}

// Test programs run side by side: each takes names of its own.
fs::path UniqueTempPath(const std::string& prefix) {
    static int serial = 0;
#ifdef _WIN32
    const unsigned long process = GetCurrentProcessId();
#else
    const long process = getpid();
#endif
    return fs::temp_directory_path() / (prefix + std::to_string(process) + "-" + std::to_string(++serial));
}

}  // namespace

CliRun RunCli(const std::vector<std::wstring>& arguments, const std::vector<std::string>& extraEnvironment) {
    const fs::path base = UniqueTempPath("keyscour-cli-run-");
    const fs::path outPath = base.string() + ".out", errPath = base.string() + ".err";
    CliRun run;
#ifdef _WIN32
    std::wstring commandLine = L"\"" + CliPath().wstring() + L"\"";
    for (const auto& argument : arguments) {
        // Quoted as the C runtime reads it back: backslashes doubled before a quote.
        std::wstring quoted = L"\"";
        std::size_t slashes = 0;
        for (wchar_t c : argument) {
            if (c == L'\\') {
                ++slashes;
            } else {
                if (c == L'"') quoted.append(slashes + 1, L'\\');
                slashes = 0;
            }
            quoted += c;
        }
        quoted.append(slashes, L'\\');
        commandLine += L" " + quoted + L"\"";
    }
    for (const auto& pair : extraEnvironment) {
        const auto eq = pair.find('=');
        const std::wstring name = FromUtf8(pair.substr(0, eq)), value = FromUtf8(pair.substr(eq + 1));
        SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                       &startup, &process)) {
        WaitForSingleObject(process.hProcess, 120000);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        run.exitCode = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    for (const auto& pair : extraEnvironment)
        SetEnvironmentVariableW(FromUtf8(pair.substr(0, pair.find('='))).c_str(), nullptr);
#else
    std::vector<std::string> strings{CliPath().string()};
    for (const auto& argument : arguments) strings.push_back(ToUtf8(argument));
    std::vector<char*> argv;
    for (auto& s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& pair : extraEnvironment)
            replaced = replaced || entry.substr(0, entry.find('=') + 1) == pair.substr(0, pair.find('=') + 1);
        if (!replaced) environment.push_back(entry);
    }
    for (const auto& pair : extraEnvironment)
        if (pair.back() != '=') environment.push_back(pair);
    std::vector<char*> envp;
    for (auto& s : environment) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = 0;
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        waitpid(child, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
#endif
    run.out = ReadAll(outPath);
    run.err = ReadAll(errPath);
    std::error_code ignored;
    fs::remove(outPath, ignored);
    fs::remove(errPath, ignored);
    return run;
}

ScratchFolder::ScratchFolder() {
    const fs::path path = UniqueTempPath("keyscour-cli-test-");
    fs::remove_all(path);
    fs::create_directories(path);
    folder_ = path.wstring();
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::wstring ScratchFolder::Path(const std::wstring& name) const { return (fs::path(folder_) / name).wstring(); }

void ScratchFolder::Write(const std::wstring& name, const std::string& bytes) const {
    std::error_code ignored;
    fs::create_directories(fs::path(Path(name)).parent_path(), ignored);
    std::ofstream(fs::path(Path(name)), std::ios::binary) << bytes;
}

std::string ScratchFolder::Read(const std::wstring& name) const { return ReadFileBytes(Path(name)); }

std::vector<std::wstring> ScratchFolder::Files() const {
    std::vector<std::wstring> files;
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(folder_, ignored))
        if (entry.is_regular_file()) files.push_back(entry.path().wstring());
    return files;
}

std::string ReadFileBytes(const std::wstring& path) { return ReadAll(fs::path(path)); }

std::string MaskedTimes(const std::string& text, bool* recent) {
    if (recent) *recent = true;
    std::string masked;
    const auto digits = [&](std::size_t at, std::size_t count) {
        for (std::size_t i = at; i < at + count; ++i)
            if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
        return true;
    };
    const std::time_t now = std::time(nullptr);
    for (std::size_t at = 0; at < text.size();) {
        const bool time = digits(at, 4) && text[at + 4] == '-' && digits(at + 5, 2) && text[at + 7] == '-' &&
                          digits(at + 8, 2) && text[at + 10] == 'T' && digits(at + 11, 2) && text[at + 13] == ':' &&
                          digits(at + 14, 2) && text[at + 16] == ':' && digits(at + 17, 2) && at + 19 < text.size() &&
                          text[at + 19] == 'Z';
        if (!time) {
            masked += text[at++];
            continue;
        }
        std::tm parts{};
        parts.tm_year = std::stoi(text.substr(at, 4)) - 1900;
        parts.tm_mon = std::stoi(text.substr(at + 5, 2)) - 1;
        parts.tm_mday = std::stoi(text.substr(at + 8, 2));
        parts.tm_hour = std::stoi(text.substr(at + 11, 2));
        parts.tm_min = std::stoi(text.substr(at + 14, 2));
        parts.tm_sec = std::stoi(text.substr(at + 17, 2));
#ifdef _WIN32
        const std::time_t then = _mkgmtime(&parts);
#else
        const std::time_t then = timegm(&parts);
#endif
        if (recent && (then > now + 86400 || then < now - 86400)) *recent = false;
        masked += "TIME";
        at += 20;
    }
    return masked;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace keyscour::testing
