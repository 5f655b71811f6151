#pragma once

#include "encoding.h"
#include "records.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace zephlink::test {

// A valid group with fresh credentials.
inline Group freshGroup(std::string server = "http://127.0.0.1:8787") {
    return Group::make(server, identifier(), encode64(random(32)), encode64(random(32)));
}

inline std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

inline std::string sharedPath(const std::string& relative) {
    return std::string(ZEPHLINK_SHARED_DIR) + "/" + relative;
}

} // namespace zephlink::test
