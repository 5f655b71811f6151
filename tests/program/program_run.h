#pragma once

// The program run the way a script runs it, and the files it is given.
#include "encoding.h"
#include "process.h"

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace zephlink::test {

// The line the program printed and its exit status.
struct Outcome {
    std::string out;
    int status = -1;
    bool operator==(const Outcome&) const = default;
};

inline void PrintTo(const Outcome& outcome, std::ostream* os) {
    *os << "\"" << outcome.out << "\" with exit status " << outcome.status;
}

inline Outcome run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program());
    ProcessResult result = runProcess(arguments);
    return {std::move(result.out), result.status};
}

// Files for one test in a folder of their own, removed with it.
struct Files {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("zephlink-test-" + identifier());
    Files() { std::filesystem::create_directories(dir); }
    ~Files() { std::filesystem::remove_all(dir); }
    // A fresh file holding contents; its path.
    std::string write(const std::string& contents) const {
        const std::string path = (dir / identifier()).string();
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
};

} // namespace zephlink::test
