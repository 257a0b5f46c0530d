#pragma once
// keyscour-cli run as a child process, as a script runs it: arguments
// given whole, standard input from nothing, output and errors into files.

#include <cstdint>
#include <string>
#include <vector>

namespace keyscour::testing {

struct CliRun {
    int exitCode = -1;
    std::string out;  // bytes as written
    std::string err;
};

// extraEnvironment: NAME=value pairs set for the child (NAME= removes one).
CliRun RunCli(const std::vector<std::wstring>& arguments, const std::vector<std::string>& extraEnvironment = {});

// A scratch folder for one test, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    // A path in the folder, as the child takes it.
    std::wstring Path(const std::wstring& name) const;
    void Write(const std::wstring& name, const std::string& bytes) const;
    std::string Read(const std::wstring& name) const;
    std::vector<std::wstring> Files() const;

private:
    std::wstring folder_;
};

// A file's bytes, all of them; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);

// text with each ISO 8601 UTC time ("2026-12-08T18:30:05Z") made "TIME",
// for output that carries last-write times; false in recent when one is
// not within a day of now.
std::string MaskedTimes(const std::string& text, bool* recent = nullptr);

// Each line of text, without its line end.
std::vector<std::string> Lines(const std::string& text);

}  // namespace keyscour::testing
