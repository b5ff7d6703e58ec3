#include "TestUtil.h"

#include <fstream>
#include <sstream>

ScratchDir::ScratchDir() {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("launcher-unit-" + std::to_string(OS::TickCount()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::Write(const std::string& name, const std::string& content) const {
    std::filesystem::path file = Path(name);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

std::string ScratchDir::Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}
